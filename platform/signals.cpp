#include "platform/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace {

constexpr std::array<int, 4> kEnding = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

volatile std::sig_atomic_t in_job = 0;
volatile std::sig_atomic_t stops = 0;
volatile std::sig_atomic_t ending_signal = 0;
volatile std::sig_atomic_t ending_count = 0;
int wake_pipe[2] = {-1, -1};
void (*cleanup_before_end)() = nullptr;

void on_signal(int sig) {
    const int saved_errno = errno;
    if (sig == SIGINT && in_job) {
        stops = stops + 1;
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

// Only a signal at its default action is taken over.
void take_over(int sig) {
    struct sigaction previous {};
    if (sigaction(sig, nullptr, &previous) != 0 || previous.sa_handler != SIG_DFL) return;
    struct sigaction action {};
    action.sa_handler = on_signal;
    // Writes to the console are carried on; the waits poll the wake pipe.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

}  // namespace

void install_signal_handlers(void (*cleanup)()) {
    cleanup_before_end = cleanup;
    if (wake_pipe[0] < 0 && !open_wake_pipe()) return;  // signals keep their default course
    for (int sig : kEnding)
        take_over(sig);
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
