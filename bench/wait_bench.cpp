// How vqdnc waits for the controller: the CPU it uses while a silent
// controller keeps it waiting, and how fast it sends the next line once the
// prompt arrives, each beside a tight polling loop on the same machine.
//
// Usage: wait_bench VQDNC_PATH [idle_seconds] [lines]
// The controller is played by this program on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Pty {
    int master = -1;
    int slave = -1;  // held so the line never hangs up between opens
    char name[128] = {};
};

Pty make_pty() {
    Pty pty;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&pty.master, &pty.slave, pty.name, &raw, nullptr) != 0) {
        std::perror("openpty");
        std::exit(2);
    }
    return pty;
}

double cpu_seconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Starts vqdnc on COM1 = the pty, its console input from a pipe holding `input`.
pid_t start_vqdnc(const char* vqdnc, const Pty& pty, const std::string& input) {
    int in[2];
    if (pipe(in) != 0) std::exit(2);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(in[1]);
        setenv("VQDNC_COM1", pty.name, 1);
        execl(vqdnc, vqdnc, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    // The input is small enough for the pipe buffer.
    if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        std::fprintf(stderr, "console input did not fit the pipe\n");
    }
    close(in[1]);
    return pid;
}

int read_byte(int fd, int timeout_ms) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) return -1;
    unsigned char c;
    return read(fd, &c, 1) == 1 ? c : -1;
}

// A tight polling loop on the slave, as a process of its own: `lines` times,
// write the line and poll without pause until the prompt has come.
pid_t start_tight_loop(const Pty& pty, int lines, double busy_seconds) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int fd = open(pty.name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char line[] = "n1 g X1\n";
    unsigned char c = 0;
    if (lines == 0) {  // just spin on a silent line
        auto end = Clock::now() + std::chrono::duration<double>(busy_seconds);
        while (Clock::now() < end) {
            if (read(fd, &c, 1) == 1) continue;
        }
        _exit(0);
    }
    for (int i = 0; i < lines; ++i) {
        if (write(fd, line, sizeof line - 1) < 0) _exit(1);
        do {
            while (read(fd, &c, 1) != 1) {
            }
        } while (c != '-');
    }
    _exit(0);
}

// Measures the CPU a process uses over `seconds` of waiting, then kills it.
double cpu_share(pid_t pid, double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return cpu_seconds(usage) / seconds;
}

// Plays the controller for `lines` lines of "n1 g X1\n": echo, answer, then,
// once the sender has had time to block, the prompt. Returns the time from
// each prompt to the first byte of the next line, in microseconds.
std::vector<double> serve_lines(const Pty& pty, int lines) {
    std::vector<double> latencies;
    Clock::time_point prompt_sent{};
    for (int i = 0; i < lines; ++i) {
        std::string got;
        for (;;) {
            int c = read_byte(pty.master, 10000);
            if (c < 0) return latencies;
            if (got.empty() && i > 0) {
                latencies.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - prompt_sent).count());
            }
            got.push_back(static_cast<char>(c));
            if (c == '\n') break;
        }
        got += "ok\n";
        if (write(pty.master, got.data(), got.size()) < 0) return latencies;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        prompt_sent = Clock::now();
        if (write(pty.master, "-", 1) < 0) return latencies;
    }
    return latencies;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void print_latencies(const char* who, const std::vector<double>& us) {
    std::printf("  %-22s median %7.1f us   p90 %7.1f us   p99 %7.1f us   (%zu lines)\n", who,
                percentile(us, 0.5), percentile(us, 0.9), percentile(us, 0.99), us.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s VQDNC_PATH [idle_seconds] [lines]\n", argv[0]);
        return 2;
    }
    const char* vqdnc = argv[1];
    double idle_seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
    int lines = argc > 3 ? std::atoi(argv[3]) : 2000;

    std::printf("Waiting on a silent controller for %.0f s (CPU time / wall time):\n",
                idle_seconds);
    {
        Pty pty = make_pty();
        pid_t pid = start_vqdnc(vqdnc, pty, "i\n");
        read_byte(pty.master, 10000);  // the query has gone out: vqdnc now waits
        std::printf("  vqdnc                  %6.2f %%\n", 100.0 * cpu_share(pid, idle_seconds));
    }
    {
        Pty pty = make_pty();
        double busy = std::min(idle_seconds, 2.0);
        pid_t pid = start_tight_loop(pty, 0, busy + 1);
        std::printf("  tight polling loop     %6.2f %%\n", 100.0 * cpu_share(pid, busy));
    }

    std::printf("From the prompt arriving to the next line's first byte leaving:\n");
    {
        Pty pty = make_pty();
        std::string input;
        for (int i = 0; i < lines; ++i)
            input += "g X1\n";
        input += "e\n";
        pid_t pid = start_vqdnc(vqdnc, pty, input);
        print_latencies("vqdnc", serve_lines(pty, lines));
        waitpid(pid, nullptr, 0);
    }
    {
        Pty pty = make_pty();
        pid_t pid = start_tight_loop(pty, lines, 0);
        print_latencies("tight polling loop", serve_lines(pty, lines));
        waitpid(pid, nullptr, 0);
    }
    return 0;
}
