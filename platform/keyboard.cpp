// Key mode over POSIX termios on standard input.
//
// Only input handling changes: canonical mode (waiting for Enter, line editing)
// and echo go off, signal keys stay on, so Ctrl-C still ends the program.
// Output processing is left alone, so a line feed the program prints still
// starts a new line. Mode changes take effect at once without discarding input,
// so nothing typed ahead is lost.
#include "platform/keyboard.h"

#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/console.h"
#include "platform/signals.h"

namespace {

constexpr int kEscape = 0x1b;
// The codes of one key press arrive together; a code that comes later than
// this after the one before it belongs to a key press of its own...
constexpr int kSequenceGapMs = 50;
// ...unless a laggy remote terminal split the sequence: a sequence's '[' or
// 'O' still counts up to this long after its ESC, and so do its later codes.
// A lone Escape is taken once this has passed.
constexpr int kEscapeDelayMs = 500;

bool keys_on = false;
bool exit_hook_set = false;

void restore_at_exit() {
    key_mode_off();
}

// True when the next code of the same key press is there or comes within `gap_ms`.
bool code_follows(int gap_ms = kEscapeDelayMs) {
    return (console_buffered() || console_wait(gap_ms)) && console_peek() != kConsoleEnd;
}

bool take_if(bool (*accept)(int), int gap_ms = kEscapeDelayMs) {
    if (!code_follows(gap_ms) || !accept(console_peek())) return false;
    console_get();
    return true;
}

bool is_escape(int c) {
    return c == kEscape;
}
bool is_bracket(int c) {
    return c == '[';
}
bool is_parameter(int c) {
    return c >= 0x20 && c <= 0x3f;
}
bool is_final(int c) {
    return c >= 0x40 && c <= 0x7e;
}
bool is_any(int) {
    return true;
}
bool is_introducer(int c) {
    return c == '[' || c == 'O';
}

// After an ESC: whether a code of the same key press follows. Any code within
// kSequenceGapMs does (Alt and a key); later only a sequence's introducer, so
// a key typed after a lone Escape stays a key.
bool sequence_follows() {
    if (code_follows(kSequenceGapMs)) return true;
    return code_follows(kEscapeDelayMs - kSequenceGapMs) && is_introducer(console_peek());
}

// Takes the rest of a key press that began with ESC: ESC [ or ESC O, then
// parameter codes and one final code (arrows, function keys); ESC [ [ and one
// code (function keys on the Linux console); ESC and one other code (a key
// with Alt). Further ESCs in front come from Alt with an arrow key. However
// many parameter codes come, the sequence is taken up to its final code, so no
// tail of it can act as keys. False when the Escape key came alone.
bool take_sequence_rest() {
    bool alone = true;
    while (take_if(is_escape, kSequenceGapMs))
        alone = false;
    if (!sequence_follows()) return !alone;
    int intro = console_get();
    if (intro != '[' && intro != 'O') return true;
    if (intro == '[' && take_if(is_bracket)) {
        take_if(is_any);
        return true;
    }
    while (take_if(is_parameter)) {
    }
    take_if(is_final);
    return true;
}

}  // namespace

bool keys_from_terminal() {
    return isatty(STDIN_FILENO) != 0;
}

void key_mode_on() {
    termios line_mode;
    if (keys_on || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &line_mode) != 0) return;
    termios key_mode = line_mode;
    key_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    key_mode.c_cc[VMIN] = 1;
    key_mode.c_cc[VTIME] = 0;
    if (!exit_hook_set) exit_hook_set = std::atexit(restore_at_exit) == 0;
    terminal_watch_begin();
    keys_on = hold_input_mode(line_mode, key_mode);
    if (!keys_on) terminal_watch_end();
}

void key_mode_off() {
    if (!keys_on) return;
    release_input_mode();
    keys_on = false;
    terminal_watch_end();
}

bool key_waiting(int timeout_ms) {
    note_running();
    return console_wait(timeout_ms);
}

int read_key() {
    int c = console_get();
    if (c == kConsoleEnd) return kKeyEnd;
    if (c != kEscape) return c;
    return take_sequence_rest() ? kKeySequence : kEscape;
}
