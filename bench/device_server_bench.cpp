// Download throughput with the controller behind a serial device server:
// vqdnc sends a part program to vqsim directly on its pseudo-terminal, and
// through ser2net (serving vqsim's device on a loopback TCP port) and socat
// (a local pseudo-terminal joined to that port), with ser2net's default
// settings, with the character delay off, and fully tuned (Nagle's algorithm
// off on both sockets as well). Lock-step pays every delay of the path once
// per line, so the figures are lines per second and the ratio to the direct
// link, for a board that echoes each line at once and one that sends its
// bytes one by one at the pace of a 115200-baud line (vqsim --emulate-rate).
//
// Usage: device_server_bench [lines [rounds]]   (default 1000 lines, 3 rounds;
// the paced board gets a fifth of the lines)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

// Every program started here, so a failure stops them all.
std::vector<pid_t> children;

// SIGTERM, and SIGKILL after 2 s: a ser2net that failed to set up its port
// does not end on SIGTERM.
void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = waitpid(pid, nullptr, WNOHANG) == pid;
        if (!ended) usleep(10'000);
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    children.erase(std::remove(children.begin(), children.end(), pid), children.end());
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "device_server_bench: %s\n", what.c_str());
    while (!children.empty())
        stop(children.back());
    std::exit(2);
}

// The full path of an installed program; the benchmark cannot go on without it.
std::string tool(const std::string& name) {
    std::string path = vqtest::find_tool(name);
    if (path.empty()) fail(name + " not found; scripts/deps.sh test installs it");
    return path;
}

// Starts `argv` with its input and output on /dev/null, or its output on
// `out_fd`, and VQDNC_COM1 set to `com1` if given.
pid_t spawn(const std::vector<std::string>& argv, const std::string& com1 = "", int out_fd = -1) {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) fail("fork failed");
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(out_fd >= 0 ? out_fd : null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (!com1.empty()) setenv("VQDNC_COM1", com1.c_str(), 1);
        execv(args[0], args.data());
        _exit(127);
    }
    children.push_back(pid);
    return pid;
}

// Polls `done` every 10 ms for up to 10 s.
template <typename Done>
void wait_until(Done done, const std::string& what) {
    for (int i = 0; i < 1000; ++i) {
        if (done()) return;
        usleep(10'000);
    }
    fail(what);
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// A loopback TCP port that nothing uses at this moment.
int free_port() {
    const int port = vqtest::free_port();
    if (port < 0) fail("no free loopback port");
    return port;
}

// Starts vqsim on `link` with `extra` options and waits for its ready line.
pid_t start_vqsim(const std::string& link, const std::vector<std::string>& extra) {
    int out[2];
    if (pipe(out) != 0) fail("pipe failed");
    std::vector<std::string> argv = {VQSIM_PATH, "--link", link};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const pid_t pid = spawn(argv, "", out[1]);
    close(out[1]);
    std::string said;
    char c;
    while (said.find('\n') == std::string::npos && read(out[0], &c, 1) == 1)
        said += c;
    close(out[0]);
    if (said.rfind("vqsim: ready", 0) != 0) fail("vqsim did not start: " + said);
    return pid;
}

// How the network path is set up.
struct Path {
    const char* name;
    bool direct;
    bool chardelay;      // ser2net's character delay
    bool nodelay;        // TCP_NODELAY on ser2net's accepted socket and on socat's
    bool socat_nodelay;  // TCP_NODELAY on socat's socket only
};

const Path kPaths[] = {
    {"direct pseudo-terminal", true, false, false, false},
    {"ser2net defaults, plain socat", false, true, false, false},
    {"chardelay: false, socat nodelay", false, false, false, true},
    {"tuned: + tcp(nodelay) accepter", false, false, true, true},
};

// A running ser2net and socat in front of `device`; the link to use.
struct Running {
    pid_t server = -1;
    pid_t bridge = -1;
    std::string link;
};

Running start_path(const Path& path, const std::string& dir, const std::string& device) {
    if (path.direct) return {-1, -1, device};
    static const std::string ser2net = tool("ser2net");
    static const std::string socat = tool("socat");
    const int port = free_port();
    const std::string config = dir + "/ser2net.yaml";
    std::ofstream(config) << "%YAML 1.1\n---\nconnection: &vq318\n"
                          << "    accepter: " << (path.nodelay ? "tcp(nodelay)" : "tcp")
                          << ",127.0.0.1," << port << "\n"
                          << "    connector: serialdev," << device << ",115200n81,local\n"
                          << "    options:\n      chardelay: "
                          << (path.chardelay ? "true" : "false") << "\n";
    Running running;
    running.server = spawn({ser2net, "-n", "-u", "-c", config});
    wait_until([&] { return vqtest::tcp_socket_seen(port, false, vqtest::kListen); },
               "ser2net did not listen");
    running.link = dir + "/com1";
    const std::string tcp =
        "tcp:127.0.0.1:" + std::to_string(port) + (path.socat_nodelay ? ",nodelay" : "");
    running.bridge = spawn({socat, "pty,link=" + running.link + ",raw,echo=0", tcp});
    wait_until(
        [&] {
            return exists(running.link) &&
                   vqtest::tcp_socket_seen(port, true, vqtest::kEstablished);
        },
        "socat did not connect");
    return running;
}

void stop_path(const Running& running) {
    if (running.server < 0) return;  // the direct link: nothing of ours to stop
    stop(running.bridge);
    stop(running.server);
    unlink(running.link.c_str());  // socat removes it, but the next socat must not find it
}

// vqdnc -f`file` on `link`; seconds taken.
double run_vqdnc(const std::string& file, const std::string& link) {
    const Clock::time_point start = Clock::now();
    const pid_t pid = spawn({VQDNC_PATH, "-f" + file}, link);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) fail("waitpid failed");
    children.erase(std::remove(children.begin(), children.end(), pid), children.end());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) fail("vqdnc failed");
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A part program of lines of exactly 24 characters.
std::string write_part(const std::string& path, int count) {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < count; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "N%05d G01 X%03d.5 Y%03d.5", i % 100000, i % 1000,
                      (i * 7) % 1000);
        out << line << '\n';
    }
    return path;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Each round runs every path once, so all see alike load; ratios are taken
// within a round.
void measure(const std::string& title, const std::vector<std::string>& vqsim_options, int lines,
             int rounds, const std::string& dir) {
    const std::string part = write_part(dir + "/part.nc", lines);
    const std::string device = dir + "/board";
    const pid_t sim = start_vqsim(device, vqsim_options);
    constexpr std::size_t kCount = std::size(kPaths);
    std::vector<std::vector<double>> rates(kCount);
    std::vector<std::vector<double>> ratios(kCount);
    for (int r = 0; r < rounds; ++r) {
        double direct_rate = 0;
        for (std::size_t p = 0; p < kCount; ++p) {
            Running running = start_path(kPaths[p], dir, device);
            const double rate = lines / run_vqdnc(part, running.link);
            stop_path(running);
            if (kPaths[p].direct) direct_rate = rate;
            rates[p].push_back(rate);
            ratios[p].push_back(rate / direct_rate);
        }
    }
    stop(sim);
    std::printf("%s: %d lines of 24 characters, median of %d rounds\n", title.c_str(), lines,
                rounds);
    std::printf("  %-34s %10s %8s\n", "", "lines/s", "ratio");
    for (std::size_t p = 0; p < kCount; ++p)
        std::printf("  %-34s %10.0f %8.3f\n", kPaths[p].name, median(rates[p]), median(ratios[p]));
    unlink(part.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (lines < 10 || rounds < 1) {
        std::fprintf(stderr, "usage: device_server_bench [lines (10 or more) [rounds]]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    char dir_template[] = "/tmp/device_server_bench.XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) fail("mkdtemp failed");

    measure("board echoing each line at once", {}, lines, rounds, dir);
    measure("board paced as on a 115200-baud wire (vqsim --emulate-rate)", {"--emulate-rate"},
            lines / 5, rounds, dir);

    unlink((std::string(dir) + "/ser2net.yaml").c_str());
    rmdir(dir);
    return 0;
}
