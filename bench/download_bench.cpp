// Download throughput: vqdnc sending a part program to vqsim through a
// pseudo-terminal, beside the limit on the same machine, a minimal loop doing
// the same lock-step exchange (write the line, read its echo, read to the
// prompt) over the same kind of pseudo-terminal to the same vqsim.
// Also vqdnc's peak memory for files of different lengths, and downloads at
// real line rates through vqsim keeping wire time, bare and behind the latency
// timer of a USB serial adapter.
//
// Usage: download_bench [lines [rounds [other_vqdnc]]]   (default 10000 lines,
// 7 rounds). With another build's vqdnc, each round also runs that one, for a
// side-by-side figure of two builds on the same machine load. Each vqdnc keeps
// its job records in the benchmark's own temporary directory.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kPrompt = '-';

std::string state_home;  // XDG_STATE_HOME of every vqdnc run

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "download_bench: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

// Lines of a plausible part program: about 30 characters each.
std::vector<std::string> part_program(int count) {
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "N%d G01 X%d.%04d Y%d.%04d F300", i, i % 200, i % 9973,
                      i % 150, (i * 7) % 9973);
        lines.emplace_back(line);
    }
    return lines;
}

void write_file(const std::string& path, const std::vector<std::string>& lines) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) die(path.c_str());
    for (const std::string& line : lines)
        std::fprintf(f, "%s\n", line.c_str());
    if (std::fclose(f) != 0) die(path.c_str());
}

struct Sim {
    pid_t pid = -1;
};

// Starts vqsim on `link` with its default answer and `options`, and waits for
// its ready line.
Sim start_vqsim(const std::string& link, const std::vector<std::string>& options = {}) {
    int out[2];
    if (pipe(out) != 0) die("pipe");
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<const char*> argv = {"vqsim", "--link", link.c_str()};
        for (const std::string& option : options)
            argv.push_back(option.c_str());
        argv.push_back(nullptr);
        execv(VQSIM_PATH, const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    close(out[1]);
    std::string said;
    char c;
    while (said.find('\n') == std::string::npos && read(out[0], &c, 1) == 1)
        said += c;
    close(out[0]);
    if (said.rfind("vqsim: ready", 0) != 0) {
        std::fprintf(stderr, "download_bench: vqsim did not start: %s\n", said.c_str());
        std::exit(2);
    }
    return {pid};
}

void stop_vqsim(Sim& sim) {
    kill(sim.pid, SIGTERM);
    waitpid(sim.pid, nullptr, 0);
}

// The child's side of a vqdnc run: vqdnc -f`file` (with a rate, vqdnc
// -b`rate` -f`file`) with COM1 on `link`, its console output thrown away.
[[noreturn]] void exec_vqdnc(const char* program, const std::string& file, const std::string& link,
                             long rate) {
    const std::string option = "-f" + file;
    const std::string rate_option = "-b" + std::to_string(rate);
    int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    setenv("VQDNC_COM1", link.c_str(), 1);
    setenv("XDG_STATE_HOME", state_home.c_str(), 1);
    if (rate > 0) {
        execl(program, "vqdnc", rate_option.c_str(), option.c_str(), static_cast<char*>(nullptr));
    }
    execl(program, "vqdnc", option.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

void check_ran_through(int status) {
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) {
        std::fprintf(stderr, "download_bench: vqdnc ended with status %d\n", status);
        std::exit(2);
    }
}

// Seconds a download of `file` takes vqdnc (`program`), at `rate` when given.
double run_vqdnc(const std::string& file, const std::string& link, long rate = 0,
                 const char* program = VQDNC_PATH) {
    const Clock::time_point start = Clock::now();
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) exec_vqdnc(program, file, link, rate);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) die("waitpid");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    check_ran_through(status);
    return seconds;
}

long peak_resident_kib(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) die(path.c_str());
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    std::fclose(f);
    return kib;
}

// vqdnc's own peak memory for a download of `file`, read from /proc as it
// exits. Not ru_maxrss: a forked child's counts the pages it shared with this
// program before exec, which are more than vqdnc's own.
long peak_memory_kib(const std::string& file, const std::string& link) {
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        exec_vqdnc(VQDNC_PATH, file, link, 0);
    }
    long peak = 0;
    int status = 0;
    // The stops: the trap after exec, where the exit stop is asked for; the
    // exit stop, where the memory is read; any other signal, passed on.
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        long signal = WSTOPSIG(status);
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            peak = peak_resident_kib(pid);
            signal = 0;
        } else if (signal == SIGTRAP) {
            ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT));
            signal = 0;
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(signal));
    }
    check_ran_through(status);
    return peak;
}

void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) die("write");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Opens `link` raw, blocking, at `speed` (B0: the speed it has).
int open_raw(const std::string& link, speed_t speed) {
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) die(link.c_str());
    termios t{};
    if (tcgetattr(fd, &t) != 0) die("tcgetattr");
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (speed != B0 && (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0)) die("speed");
    if (tcsetattr(fd, TCSANOW, &t) != 0) die("tcsetattr");
    return fd;
}

// The limit: the plainest lock-step exchange over the same device.
double run_loop(const std::vector<std::string>& lines, const std::string& link,
                speed_t speed = B0) {
    const Clock::time_point start = Clock::now();
    int fd = open_raw(link, speed);
    std::string out;
    std::array<char, 4096> in;
    for (const std::string& line : lines) {
        out.assign(line).push_back('\n');
        write_all(fd, out.data(), out.size());
        // The echo of the text, then the answer up to the prompt.
        std::size_t seen = 0;
        for (bool prompted = false; !prompted;) {
            ssize_t n = read(fd, in.data(), in.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) die("read");
            for (ssize_t i = 0; i < n; ++i, ++seen) {
                if (seen >= line.size() && in[static_cast<std::size_t>(i)] == kPrompt) {
                    prompted = true;
                }
            }
        }
    }
    close(fd);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// ---------------------------------------------------------------------------
// Real line rates
// ---------------------------------------------------------------------------

constexpr double kBitsPerByte = 10;          // 8N1: a start and a stop bit
constexpr std::size_t kAnswerAndPrompt = 4;  // "ok\n" and '-'

// Lines of 24 characters.
std::vector<std::string> short_lines(int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "N%05d G01 X%03d Y%03d F30", i % 100000, i % 1000,
                      (i * 7) % 1000);
        lines.emplace_back(line);
    }
    return lines;
}

// Lines per second when the controller's bytes (echo, line feed, answer,
// prompt) follow each other on the wire without a gap.
double wire_limit(long rate, std::size_t line_length) {
    return rate / kBitsPerByte / static_cast<double>(line_length + 1 + kAnswerAndPrompt);
}

// How closely vqsim keeps wire time: a burst of bytes, with no line feed, echoed
// at `rate`; the time to the last echo over the burst's time on the wire.
double pacing_ratio(const std::string& link, speed_t speed, long rate, std::size_t count) {
    const int fd = open_raw(link, speed);
    const std::string burst(count, 'x');
    std::array<char, 4096> in;
    std::size_t sent = 0;
    std::size_t echoed = 0;
    const Clock::time_point start = Clock::now();
    while (echoed < count) {
        pollfd pfd{fd, static_cast<short>(POLLIN | (sent < count ? POLLOUT : 0)), 0};
        if (poll(&pfd, 1, 10000) <= 0) die("poll");
        if ((pfd.revents & POLLOUT) != 0) {
            const ssize_t n =
                write(fd, burst.data() + sent, std::min<std::size_t>(count - sent, 256));
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
        if ((pfd.revents & POLLIN) != 0) {
            const ssize_t n = read(fd, in.data(), in.size());
            if (n <= 0) die("read");
            echoed += static_cast<std::size_t>(n);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return seconds / (static_cast<double>(count) * kBitsPerByte / rate);
}

struct RateCase {
    long rate;
    speed_t speed;
    int lines;  // behind a 16 ms latency timer a third as many
};

constexpr int kRealRateRounds = 3;

// The best of the rounds: on a shared machine the least disturbed one is
// nearest to what the program itself can do.
template <typename Run>
double best_lines_per_second(int lines, Run run) {
    double best = 0;
    for (int r = 0; r < kRealRateRounds; ++r)
        best = std::max(best, lines / run());
    return best;
}

void real_rates(const std::string& dir) {
    const std::string link = dir + "/wire";
    const std::string part = dir + "/short.nc";
    std::printf("vqsim keeping wire time (--emulate-rate): 20000 bytes echoed at 115200 baud\n");
    {
        Sim sim = start_vqsim(link, {"--emulate-rate"});
        std::printf("  time over wire time %6.3f\n", pacing_ratio(link, B115200, 115200, 20000));
        stop_vqsim(sim);
    }
    std::printf(
        "download of 24-character lines through vqsim --emulate-rate, best of %d rounds:\n"
        "lines/s, fraction of the wire limit (goal for vqdnc: 0.97 or more), and the\n"
        "time each line takes beyond its controller bytes' time on the wire\n",
        kRealRateRounds);
    std::printf("  %-7s %-26s %9s %9s %12s\n", "baud", "", "lines/s", "fraction", "us/line more");
    for (const RateCase& c : {RateCase{115200, B115200, 600}, RateCase{9600, B9600, 60}}) {
        const double limit = wire_limit(c.rate, 24);
        auto row = [&](const std::string& what, double rate) {
            std::printf("  %-7ld %-26s %9.1f %9.3f %12.0f\n", c.rate, what.c_str(), rate,
                        rate / limit, 1e6 / rate - 1e6 / limit);
        };
        row("wire limit", limit);
        const std::vector<std::string> lines = short_lines(c.lines);
        write_file(part, lines);
        {
            Sim sim = start_vqsim(link, {"--emulate-rate"});
            row("vqdnc",
                best_lines_per_second(c.lines, [&] { return run_vqdnc(part, link, c.rate); }));
            row("lock-step loop",
                best_lines_per_second(c.lines, [&] { return run_loop(lines, link, c.speed); }));
            stop_vqsim(sim);
        }
        // Behind an adapter whose event character is the prompt, the prompt
        // is passed on the moment it arrives, whatever the timer.
        for (const char* timer : {"1", "16"}) {
            for (const bool event_char : {false, true}) {
                const int count = timer[1] == '\0' || event_char ? c.lines : c.lines / 3;
                write_file(part, short_lines(count));
                std::vector<std::string> args = {"--emulate-rate", "--latency-timer", timer};
                if (event_char) args.insert(args.end(), {"--event-char", "-"});
                Sim sim = start_vqsim(link, args);
                row(std::string("vqdnc, ") + timer + " ms timer" +
                        (event_char ? ", event char" : ""),
                    best_lines_per_second(count, [&] { return run_vqdnc(part, link, c.rate); }));
                stop_vqsim(sim);
            }
        }
    }
    unlink(part.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const int line_count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    const char* other = argc > 3 ? argv[3] : nullptr;
    if (line_count < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: download_bench [lines [rounds [other_vqdnc]]]\n");
        return 2;
    }
    char dir_template[] = "/tmp/download_bench.XXXXXX";
    const char* dir_name = mkdtemp(dir_template);
    if (dir_name == nullptr) die("mkdtemp");
    const std::string dir = dir_name;
    state_home = dir + "/state";
    const std::string link = dir + "/com1";
    const std::string part = dir + "/part.nc";
    const std::string big = dir + "/big.nc";
    const std::string wide = dir + "/wide.nc";

    const std::vector<std::string> lines = part_program(line_count);
    write_file(part, lines);
    write_file(big, part_program(line_count * 10));
    write_file(wide, {"G01" + std::string(1000000, 'X')});
    Sim sim = start_vqsim(link);

    // Rounds alternate, so both sides see the same machine load; the ratio is
    // taken within each round, where the load is most alike.
    std::vector<double> program_rates;
    std::vector<double> loop_rates;
    std::vector<double> ratios;
    std::vector<double> other_rates;
    std::vector<double> other_ratios;
    // The other build goes first in every other round: whichever runs first
    // in a round tends to run faster.
    auto run_other = [&] {
        other_rates.push_back(line_count / run_vqdnc(part, link, 0, other));
        other_ratios.push_back(other_rates.back() / (line_count / run_loop(lines, link)));
    };
    for (int r = 0; r < rounds; ++r) {
        if (other != nullptr && r % 2 == 0) run_other();
        program_rates.push_back(line_count / run_vqdnc(part, link));
        loop_rates.push_back(line_count / run_loop(lines, link));
        ratios.push_back(program_rates.back() / loop_rates.back());
        if (other != nullptr && r % 2 == 1) run_other();
    }
    std::printf("download of %d lines through a pseudo-terminal to vqsim, median of %d rounds\n",
                line_count, rounds);
    std::printf("  vqdnc            %10.0f lines/s\n", median(program_rates));
    std::printf("  lock-step loop   %10.0f lines/s\n", median(loop_rates));
    std::printf("  ratio            %10.2f   (goal 0.80 or more)\n", median(ratios));
    if (other != nullptr) {
        std::printf("  %s\n                   %10.0f lines/s, ratio %.2f\n", other,
                    median(other_rates), median(other_ratios));
        std::printf("  this build against it: %.3f\n", median(program_rates) / median(other_rates));
    }

    std::printf("vqdnc peak memory (VmHWM as it exits)\n");
    std::printf("  %7d lines           %6ld KiB\n", line_count, peak_memory_kib(part, link));
    std::printf("  %7d lines           %6ld KiB\n", line_count * 10, peak_memory_kib(big, link));
    std::printf("  one line of 1000003 characters %6ld KiB\n", peak_memory_kib(wide, link));

    stop_vqsim(sim);
    real_rates(dir);
    for (const std::string& path : {part, big, wide})
        unlink(path.c_str());
    rmdir((state_home + "/vqdnc").c_str());
    rmdir(state_home.c_str());
    rmdir(dir.c_str());
    return 0;
}
