// The vacuum pick-and-place head.
#pragma once

// The v command: single keys drive the vacuum pick-and-place head.
void run_vacuum_head();
