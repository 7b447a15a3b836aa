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

namespace {

constexpr int kEscape = 0x1b;
// The codes of one key press arrive together; a code that comes later than
// this after the one before it belongs to a key press of its own.
constexpr int kSequenceGapMs = 50;
// The most codes taken as one key press.
constexpr int kMaxSequence = 32;

struct Handled {
    int signal;
    struct sigaction previous;
    bool installed;
};

// Signals that end the program, and SIGTSTP (Ctrl-Z), which stops it.
std::array<Handled, 5> handled = {{
    {SIGINT, {}, false},
    {SIGTERM, {}, false},
    {SIGHUP, {}, false},
    {SIGQUIT, {}, false},
    {SIGTSTP, {}, false},
}};

termios line_mode;  // the terminal's mode before key mode
termios key_mode;
// Key mode is in force: the terminal needs line_mode back on the way out.
volatile std::sig_atomic_t keys_on = 0;
bool exit_hook_set = false;

// Async-signal-safe. TCSANOW: output already written is not waited for, and
// input typed ahead is kept.
void set_mode(const termios& mode) {
    tcsetattr(STDIN_FILENO, TCSANOW, &mode);
}

void set_action(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// The program ends on a signal: the terminal gets its mode back, then the
// signal takes its default course, so whoever started the program sees how it
// ended.
void end_on_signal(int sig) {
    int saved_errno = errno;
    if (keys_on) set_mode(line_mode);
    set_action(sig, SIG_DFL);
    raise(sig);  // blocked while this handler runs; it acts as the handler returns
    errno = saved_errno;
}

// Ctrl-Z: the shell gets the terminal in its mode while the program is stopped,
// and key mode comes back when the program is continued.
void stop_on_signal(int) {
    int saved_errno = errno;
    if (keys_on) set_mode(line_mode);
    set_action(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // the program stops here until continued
    set_action(SIGTSTP, stop_on_signal);
    if (keys_on) set_mode(key_mode);
    errno = saved_errno;
}

// Only signals left at their default action are taken over: one the program
// was started to ignore (nohup, a background job) stays ignored.
void install_handlers() {
    for (Handled& h : handled) {
        h.installed =
            sigaction(h.signal, nullptr, &h.previous) == 0 && h.previous.sa_handler == SIG_DFL;
        if (h.installed) set_action(h.signal, h.signal == SIGTSTP ? stop_on_signal : end_on_signal);
    }
}

void remove_handlers() {
    for (Handled& h : handled) {
        if (h.installed) sigaction(h.signal, &h.previous, nullptr);
        h.installed = false;
    }
}

void restore_at_exit() {
    key_mode_off();
}

// True when the next code of the same key press is there or comes at once.
bool code_follows() {
    return (console_buffered() || console_wait(kSequenceGapMs)) && console_peek() != kConsoleEnd;
}

bool take_if(bool (*accept)(int)) {
    if (!code_follows() || !accept(console_peek())) return false;
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

// Takes the rest of a key press that began with ESC: ESC [ or ESC O, then
// parameter codes and one final code (arrows, function keys); ESC [ [ and one
// code (function keys on the Linux console); ESC and one other code (a key
// with Alt). Further ESCs in front come from Alt with an arrow key.
void take_sequence_rest() {
    int taken = 1;
    while (taken < kMaxSequence && take_if(is_escape))
        ++taken;
    if (!code_follows()) return;  // the Escape key alone
    int intro = console_get();
    if (intro != '[' && intro != 'O') return;
    if (intro == '[' && take_if(is_bracket)) {
        take_if(is_any);
        return;
    }
    while (taken < kMaxSequence && take_if(is_parameter))
        ++taken;
    take_if(is_final);
}

}  // namespace

void key_mode_on() {
    if (keys_on || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &line_mode) != 0) return;
    key_mode = line_mode;
    key_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    key_mode.c_cc[VMIN] = 1;
    key_mode.c_cc[VTIME] = 0;
    if (!exit_hook_set) exit_hook_set = std::atexit(restore_at_exit) == 0;
    install_handlers();
    keys_on = 1;  // first, so a signal from here on restores the terminal
    if (tcsetattr(STDIN_FILENO, TCSANOW, &key_mode) != 0) {
        keys_on = 0;
        remove_handlers();
    }
}

void key_mode_off() {
    if (!keys_on) return;
    set_mode(line_mode);
    keys_on = 0;
    remove_handlers();
}

bool key_waiting(int timeout_ms) {
    return console_wait(timeout_ms);
}

int read_key() {
    int c = console_get();
    if (c == kConsoleEnd) return kKeyEnd;
    if (c != kEscape) return c;
    take_sequence_rest();
    return kKeySequence;
}
