#include "platform/signals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace {

volatile std::sig_atomic_t in_job = 0;
volatile std::sig_atomic_t stops = 0;
volatile std::sig_atomic_t job_stopped = 0;
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

}  // namespace

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

// Writes to the console are carried on; the waits poll the wake pipe.
void set_signal_action(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

void stop_from_handler(void (*handler)(int), const volatile std::sig_atomic_t& continues,
                       const volatile std::sig_atomic_t& continues_seen) {
    set_signal_action(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    if (continues != continues_seen) set_signal_action(SIGTSTP, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // stops here until continued
    set_signal_action(SIGTSTP, handler);
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
