// A stand-in for the keyboard: keys come from the fake console string, and
// every switch between key mode and line mode is noted with the console
// position at which it happened.
#pragma once

#include <string>

namespace fake {

struct Keyboard {
    bool key_mode = false;
    std::string switches;  // "K3" key mode at console position 3, "L5" line mode at 5, ...
    bool key_read_in_line_mode = false;
};

extern Keyboard keyboard;

void reset_keyboard();

}  // namespace fake
