#include "platform/signals.h"

#include <fcntl.h>
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

void on_signal(int sig) {
    const int saved_errno = errno;
    if (sig == SIGINT && in_job) {
        stops = stops + 1;
        job_stopped = 1;
    } else {
        ending_signal = sig;
        ending_count = ending_count + 1;
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

std::array<TakenSignal, 4> ending_signals = {{
    {SIGINT, on_signal, {}, false},
    {SIGTERM, on_signal, {}, false},
    {SIGHUP, on_signal, {}, false},
    {SIGQUIT, on_signal, {}, false},
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
    if (wake_pipe[0] < 0 && !open_wake_pipe()) return;  // signals keep their default course
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
}

int stop_requests() {
    return stops;
}

bool take_job_stop() {
    const bool stopped = job_stopped != 0;
    job_stopped = 0;
    return stopped;
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
