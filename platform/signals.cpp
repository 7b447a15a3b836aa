#include "platform/signals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <span>
#include <string_view>

namespace {

// A handler kept only while needed. Only a signal left at its default action
// is taken over: one the program was started to ignore (nohup, a background
// job) stays ignored.
struct TakenSignal {
    int signal;
    void (*handler)(int);
    struct sigaction previous;
    bool installed;
};

volatile std::sig_atomic_t in_job = 0;
volatile std::sig_atomic_t stops = 0;
volatile std::sig_atomic_t job_stopped = 0;
bool first_stop_told = false;
volatile std::sig_atomic_t ending_signal = 0;
volatile std::sig_atomic_t ending_count = 0;
int wake_pipe[2] = {-1, -1};
void (*cleanup_before_end)() = nullptr;

// Standard output's own open file description, non-blocking: the flag then
// reaches no other program that shares the terminal or the pipe.
int unblocked_output = -1;
bool output_can_block = false;
// Standard output as it was, while another descriptor stands in for it.
volatile std::sig_atomic_t blocking_output = -1;

// A regular file never makes a write wait. /dev/ptmx is not opened anew:
// that would make a new pseudo-terminal.
void open_unblocked_output() {
    struct stat out {};
    if (fstat(STDOUT_FILENO, &out) != 0 || S_ISREG(out.st_mode)) return;
    output_can_block = true;
    if (S_ISCHR(out.st_mode) && out.st_rdev == makedev(5, 2)) return;
    unblocked_output = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// For the handler: the descriptor that never blocks stands in for standard
// output, so no print waits on a console that takes nothing more, not even one
// waiting already (it is carried on on the new descriptor). What the console
// does not take at once is dropped: the operator wants out.
void unblock_output() {
    if (!output_can_block || blocking_output >= 0) return;
    const int spare =
        unblocked_output >= 0 ? unblocked_output : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (spare < 0) return;
    blocking_output = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    dup2(spare, STDOUT_FILENO);
    if (spare != unblocked_output) close(spare);
}

// Standard output waits again once the job that the operator stopped has
// ended, unless the program is ending.
void block_output_again() {
    if (blocking_output < 0) return;
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &saved);
    if (blocking_output >= 0 && ending_signal == 0) {
        dup2(blocking_output, STDOUT_FILENO);
        close(blocking_output);
        blocking_output = -1;
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

void on_signal(int sig) {
    const int saved_errno = errno;
    if (sig == SIGINT && in_job) {
        stops = stops + 1;
        job_stopped = 1;
        if (stops >= 2) unblock_output();
    } else {
        ending_signal = sig;
        ending_count = ending_count + 1;
        unblock_output();
    }
    if (wake_pipe[1] >= 0) {
        const char wake = 1;
        (void)!write(wake_pipe[1], &wake, 1);  // a full pipe wakes the waits already
    }
    errno = saved_errno;
}

bool open_wake_pipe() {
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) == 0) return true;
    wake_pipe[0] = wake_pipe[1] = -1;
    return false;
}

std::array<TakenSignal, 7> ending_signals = {{
    {SIGINT, on_signal, {}, false},
    {SIGTERM, on_signal, {}, false},
    {SIGHUP, on_signal, {}, false},
    {SIGQUIT, on_signal, {}, false},
    {SIGUSR1, on_signal, {}, false},
    {SIGUSR2, on_signal, {}, false},
    {SIGALRM, on_signal, {}, false},
}};

// Writes to the console are carried on; the waits poll the wake pipe.
void set_signal_action(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

void take_signals(std::span<TakenSignal> signals) {
    for (TakenSignal& taken : signals) {
        taken.installed = sigaction(taken.signal, nullptr, &taken.previous) == 0 &&
                          taken.previous.sa_handler == SIG_DFL;
        if (taken.installed) set_signal_action(taken.signal, taken.handler);
    }
}

void give_signals_back(std::span<TakenSignal> signals) {
    for (TakenSignal& taken : signals) {
        if (taken.installed) sigaction(taken.signal, &taken.previous, nullptr);
        taken.installed = false;
    }
}

// --- Ctrl-Z, fg and resizes -------------------------------------------------

volatile std::sig_atomic_t stops_had = 0;
volatile std::sig_atomic_t continues_had = 0;
volatile std::sig_atomic_t continues_seen = 0;
volatile std::sig_atomic_t changes_had = 0;
int watchers = 0;
termios shell_mode{};
termios program_mode{};
volatile std::sig_atomic_t input_mode_held = 0;
std::string_view screen_give_back;
volatile std::sig_atomic_t screen_held = 0;

// TCSANOW: output already written is not waited for, and input typed ahead is kept.
void set_input_mode(const termios& mode) {
    while (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0 && errno == EINTR) {
    }
}

// The handlers change the terminal only while the program is in its
// foreground: a job-control shell that has taken it has put its own mode back
// and keeps it. SIGTTOU is blocked meanwhile, so the shell taking the terminal
// between the test and the change cannot stop the program inside a handler (a
// stop there outlived the shell's fg).
struct TtouBlocked {
    sigset_t saved;
    TtouBlocked() {
        sigset_t ttou;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        sigprocmask(SIG_BLOCK, &ttou, &saved);
    }
    ~TtouBlocked() { sigprocmask(SIG_SETMASK, &saved, nullptr); }
};

void on_continue(int) {
    const int saved_errno = errno;
    continues_had = continues_had + 1;
    changes_had = changes_had + 1;
    const TtouBlocked blocked;
    if (input_mode_held && in_foreground(STDIN_FILENO)) set_input_mode(program_mode);
    errno = saved_errno;
}

void give_terminal_back() {
    const TtouBlocked blocked;
    if (screen_held && in_foreground(STDOUT_FILENO)) write_to_console(screen_give_back);
    screen_held = 0;
    if (input_mode_held && in_foreground(STDIN_FILENO)) set_input_mode(shell_mode);
}

// Ctrl-Z: the shell gets the terminal as it had it while the program is
// stopped. A shell can continue the job (fg) before this handler has stopped
// it; a stop after that continue would leave the program stopped for good. So
// the stop is raised first, held back while the handler runs, and discarded
// when a continue has come since the program last ran on (a continue after the
// check discards it in the kernel).
void on_stop(int) {
    const int saved_errno = errno;
    stops_had = stops_had + 1;
    give_terminal_back();
    set_signal_action(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    if (continues_had != continues_seen) set_signal_action(SIGTSTP, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // stops here until continued
    set_signal_action(SIGTSTP, on_stop);
    on_continue(SIGCONT);  // also where SIGCONT was left ignored
    continues_seen = continues_had;
    errno = saved_errno;
}

void on_resize(int) {
    changes_had = changes_had + 1;
}

std::array<TakenSignal, 3> terminal_signals = {{
    {SIGTSTP, on_stop, {}, false},
    {SIGCONT, on_continue, {}, false},
    {SIGWINCH, on_resize, {}, false},
}};

}  // namespace

void terminal_watch_begin() {
    if (watchers++ == 0) take_signals(terminal_signals);
}

void terminal_watch_end() {
    if (watchers > 0 && --watchers == 0) give_signals_back(terminal_signals);
}

bool hold_input_mode(const termios& shell, const termios& program) {
    shell_mode = shell;
    program_mode = program;
    input_mode_held = 1;  // first, so a stop from here on restores the terminal
    if (tcsetattr(STDIN_FILENO, TCSANOW, &program_mode) == 0) return true;
    input_mode_held = 0;
    return false;
}

void release_input_mode() {
    sigset_t cont;
    sigset_t saved;
    sigemptyset(&cont);
    sigaddset(&cont, SIGCONT);
    sigprocmask(SIG_BLOCK, &cont, &saved);
    set_input_mode(shell_mode);
    input_mode_held = 0;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

void hold_screen(std::string_view give_back) {
    screen_give_back = give_back;
    screen_held = 1;
}

bool release_screen() {
    const bool held = screen_held != 0;
    screen_held = 0;
    return held;
}

int terminal_stops() {
    return stops_had;
}

int terminal_changes() {
    return changes_had;
}

void note_running() {
    continues_seen = continues_had;
}

void write_to_console(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool in_foreground(int fd) {
    const pid_t foreground = tcgetpgrp(fd);
    return foreground < 0 || foreground == getpgrp();
}

void install_signal_handlers(void (*cleanup)()) {
    cleanup_before_end = cleanup;
    if (wake_pipe[0] < 0) {
        if (!open_wake_pipe()) return;  // signals keep their default course
        open_unblocked_output();
    }
    take_signals(ending_signals);
    std::signal(SIGPIPE, SIG_IGN);
}

void job_begin() {
    stops = 0;
    first_stop_told = false;
    in_job = 1;
}

void job_end() {
    in_job = 0;
    stops = 0;
    block_output_again();
}

int stop_requests() {
    return stops;
}

bool take_first_stop() {
    if (stops == 0 || first_stop_told) return false;
    first_stop_told = true;
    return true;
}

bool take_job_stop() {
    const bool stopped = job_stopped != 0;
    job_stopped = 0;
    return stopped;
}

bool ending_signal_came() {
    return ending_signal != 0;
}

int console_output_fd() {
    return unblocked_output;
}

int signal_wake_fd() {
    return wake_pipe[0];
}

void drain_signal_wakes() {
    std::array<char, 64> wakes;
    while (wake_pipe[0] >= 0 && read(wake_pipe[0], wakes.data(), wakes.size()) > 0) {
    }
}

void end_if_signalled(bool line_part_way) {
    const int sig = ending_signal;
    if (sig == 0 || (line_part_way && ending_count < 2)) return;
    if (cleanup_before_end != nullptr) cleanup_before_end();
    std::signal(sig, SIG_DFL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(sig);
    _exit(128 + sig);  // only where the signal could not end the process
}
