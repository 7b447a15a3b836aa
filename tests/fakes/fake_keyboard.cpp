#include "tests/fakes/fake_keyboard.h"

#include "platform/console.h"
#include "platform/keyboard.h"
#include "tests/fakes/fake_platform.h"

namespace fake {

Keyboard keyboard;

void reset_keyboard() {
    keyboard = Keyboard{};
}

namespace {

void note_switch(bool key_mode) {
    if (keyboard.key_mode == key_mode) return;
    keyboard.key_mode = key_mode;
    keyboard.switches += (key_mode ? "K" : "L") + std::to_string(state.console_pos);
}

}  // namespace
}  // namespace fake

// Keys come as from a pipe: the console string's characters.
bool keys_from_terminal() {
    return false;
}

void key_mode_on() {
    fake::note_switch(true);
}
void key_mode_off() {
    fake::note_switch(false);
}

// The fake console never blocks: a byte or the end is always there.
bool key_waiting(int) {
    return true;
}

// ESC stands for a whole key sequence here; the real reader takes its codes.
int read_key() {
    if (!fake::keyboard.key_mode) fake::keyboard.key_read_in_line_mode = true;
    int c = console_get();
    if (c == kConsoleEnd) return kKeyEnd;
    return c == 0x1b ? kKeySequence : c;
}

// The console's push-back, which only the vacuum head uses: back into the
// fake console string at the read position.
bool console_unget(std::string_view bytes) {
    if (bytes.size() > kConsolePushBackSize) return false;
    fake::state.console.insert(fake::state.console_pos, bytes);
    fake::state.console_mid_line = fake::state.console_mid_line || !bytes.empty();
    return true;
}
