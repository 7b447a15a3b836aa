// Download throughput: vqdnc sending a part program to vqsim through a
// pseudo-terminal, beside the limit on the same machine, a minimal loop doing
// the same lock-step exchange (write the line, read its echo, read to the
// prompt) over the same kind of pseudo-terminal to the same vqsim.
// Also vqdnc's peak memory for files of different lengths.
//
// Usage: download_bench [lines [rounds]]   (default 10000 lines, 7 rounds)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
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

// Starts vqsim on `link` with its default answer and waits for its ready line.
Sim start_vqsim(const std::string& link) {
    int out[2];
    if (pipe(out) != 0) die("pipe");
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(VQSIM_PATH, "vqsim", "--link", link.c_str(), static_cast<char*>(nullptr));
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

struct Run {
    double seconds = 0;
    long peak_rss_kb = 0;
};

// vqdnc -f`file` with COM1 on `link`, its console output thrown away.
Run run_vqdnc(const std::string& file, const std::string& link) {
    const std::string option = "-f" + file;
    const Clock::time_point start = Clock::now();
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        setenv("VQDNC_COM1", link.c_str(), 1);
        execl(VQDNC_PATH, "vqdnc", option.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) die("wait4");
    Run run;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.peak_rss_kb = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) {
        std::fprintf(stderr, "download_bench: vqdnc ended with status %d\n", status);
        std::exit(2);
    }
    return run;
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

// The limit: the plainest lock-step exchange over the same device.
double run_loop(const std::vector<std::string>& lines, const std::string& link) {
    const Clock::time_point start = Clock::now();
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) die(link.c_str());
    termios t{};
    if (tcgetattr(fd, &t) != 0) die("tcgetattr");
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) die("tcsetattr");
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

}  // namespace

int main(int argc, char** argv) {
    const int line_count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    if (line_count < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: download_bench [lines [rounds]]\n");
        return 2;
    }
    char dir_template[] = "/tmp/download_bench.XXXXXX";
    const char* dir_name = mkdtemp(dir_template);
    if (dir_name == nullptr) die("mkdtemp");
    const std::string dir = dir_name;
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
    for (int r = 0; r < rounds; ++r) {
        program_rates.push_back(line_count / run_vqdnc(part, link).seconds);
        loop_rates.push_back(line_count / run_loop(lines, link));
        ratios.push_back(program_rates.back() / loop_rates.back());
    }
    std::printf("download of %d lines through a pseudo-terminal to vqsim, median of %d rounds\n",
                line_count, rounds);
    std::printf("  vqdnc            %10.0f lines/s\n", median(program_rates));
    std::printf("  lock-step loop   %10.0f lines/s\n", median(loop_rates));
    std::printf("  ratio            %10.2f   (goal 0.80 or more)\n", median(ratios));

    std::printf("vqdnc peak memory (ru_maxrss)\n");
    std::printf("  %7d lines           %6ld KiB\n", line_count, run_vqdnc(part, link).peak_rss_kb);
    std::printf("  %7d lines           %6ld KiB\n", line_count * 10,
                run_vqdnc(big, link).peak_rss_kb);
    std::printf("  one line of 1000003 characters %6ld KiB\n", run_vqdnc(wide, link).peak_rss_kb);

    stop_vqsim(sim);
    for (const std::string& path : {part, big, wide})
        unlink(path.c_str());
    rmdir(dir.c_str());
    return 0;
}
