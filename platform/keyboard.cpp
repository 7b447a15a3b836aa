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

#include <array>
#include <cerrno>
#include <csignal>
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

termios line_mode;  // the terminal's mode before key mode
termios key_mode;
// Key mode is in force: the terminal needs line_mode back on the way out.
volatile std::sig_atomic_t keys_on = 0;
// Counts the continues (SIGCONT) the program has had, and those it had when it
// last went on waiting for a key.
volatile std::sig_atomic_t continues = 0;
volatile std::sig_atomic_t continues_seen = 0;
bool exit_hook_set = false;

// Async-signal-safe. TCSANOW: output already written is not waited for, and
// input typed ahead is kept.
void set_mode(const termios& mode) {
    while (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0 && errno == EINTR) {
    }
}

// For the signal handlers: `mode` goes on the terminal only while the program
// is in its foreground; a job-control shell that has taken the terminal has
// put its own mode back and keeps it. SIGTTOU is blocked meanwhile, so the
// shell taking the terminal between the test and the call cannot stop the
// program inside a handler (a stop there outlived the shell's fg).
void set_mode_if_foreground(const termios& mode) {
    sigset_t ttou;
    sigset_t saved;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &saved);
    pid_t foreground = tcgetpgrp(STDIN_FILENO);
    // No foreground group at all: a terminal that is not ours to share.
    if (foreground < 0 || foreground == getpgrp()) set_mode(mode);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

// The program ends on a signal: the terminal gets its mode back, then the
// signal takes its default course, so whoever started the program sees how it
// ended.
void end_on_signal(int sig) {
    int saved_errno = errno;
    if (keys_on) set_mode_if_foreground(line_mode);
    set_signal_action(sig, SIG_DFL);
    raise(sig);  // blocked while this handler runs; it acts as the handler returns
    errno = saved_errno;
}

// Continued (fg, or kill -CONT): key mode again, once the program has the
// terminal. Continued in the background (bg), it gets key mode at its next
// continue in the foreground.
void continue_on_signal(int) {
    int saved_errno = errno;
    continues = continues + 1;
    if (keys_on) set_mode_if_foreground(key_mode);
    errno = saved_errno;
}

// Ctrl-Z: the shell gets the terminal in its mode while the program is stopped,
// and key mode comes back when the program is continued.
void stop_on_signal(int) {
    int saved_errno = errno;
    if (keys_on) set_mode_if_foreground(line_mode);
    stop_from_handler(stop_on_signal, continues, continues_seen);
    continue_on_signal(SIGCONT);  // also where SIGCONT was left ignored
    continues_seen = continues;
    errno = saved_errno;
}

// Signals that end the program, SIGTSTP (Ctrl-Z), which stops it, and SIGCONT.
std::array<TakenSignal, 6> handled = {{
    {SIGINT, end_on_signal, {}, false},
    {SIGTERM, end_on_signal, {}, false},
    {SIGHUP, end_on_signal, {}, false},
    {SIGQUIT, end_on_signal, {}, false},
    {SIGTSTP, stop_on_signal, {}, false},
    {SIGCONT, continue_on_signal, {}, false},
}};

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
    if (keys_on || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &line_mode) != 0) return;
    key_mode = line_mode;
    key_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    key_mode.c_cc[VMIN] = 1;
    key_mode.c_cc[VTIME] = 0;
    if (!exit_hook_set) exit_hook_set = std::atexit(restore_at_exit) == 0;
    take_signals(handled);
    keys_on = 1;  // first, so a signal from here on restores the terminal
    if (tcsetattr(STDIN_FILENO, TCSANOW, &key_mode) != 0) {
        keys_on = 0;
        give_signals_back(handled);
    }
}

void key_mode_off() {
    if (!keys_on) return;
    // A continue in between must not put key mode back after line mode.
    sigset_t cont;
    sigset_t saved;
    sigemptyset(&cont);
    sigaddset(&cont, SIGCONT);
    sigprocmask(SIG_BLOCK, &cont, &saved);
    set_mode(line_mode);
    keys_on = 0;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    give_signals_back(handled);
}

bool key_waiting(int timeout_ms) {
    continues_seen = continues;
    return console_wait(timeout_ms);
}

int read_key() {
    int c = console_get();
    if (c == kConsoleEnd) return kKeyEnd;
    if (c != kEscape) return c;
    return take_sequence_rest() ? kKeySequence : kEscape;
}
