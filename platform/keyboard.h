// Single key presses from the console, for the vacuum head processor.
#pragma once
