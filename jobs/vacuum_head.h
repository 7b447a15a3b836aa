// The vacuum pick-and-place head.
#pragma once

// The v command: single keys drive the vacuum pick-and-place head. False when
// a move was stopped or did not go through.
bool run_vacuum_head();
