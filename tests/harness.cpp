#include "harness.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

extern char** environ;

namespace vqtest {

namespace {

using Clock = std::chrono::steady_clock;

// Output still arriving this long after a program exited is no longer waited
// for (something else may hold its pipe or terminal open).
constexpr Millis kOutputGrace{1'000};
// Without a pidfd, a program's exit is checked this often.
constexpr int kReapIntervalMs = 20;

// Milliseconds left until `deadline`, for poll(); never negative.
int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

bool passed(Clock::time_point deadline) {
    return Clock::now() >= deadline;
}

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}
void set_cloexec(int fd) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Makes sure descriptors 0-2 are open, so new pipes never land on them (a CI
// run may start the tests with standard input closed), and that a program
// which stops reading its input does not kill the test with SIGPIPE.
void prepare_test_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) open("/dev/null", O_RDWR);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

bool is_port_variable(std::string_view name) {
    return name.starts_with("VQDNC_COM");
}

// The test's environment without port variables and overridden names, plus `env`.
std::vector<std::string> child_environment(const Env& env) {
    std::vector<std::string> out;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string name(text.substr(0, text.find('=')));
        if (!is_port_variable(name) && env.count(name) == 0) out.emplace_back(text);
    }
    for (const auto& [name, value] : env)
        out.push_back(name + "=" + value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int status_code(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return -1;
}

// Everything the child does between fork and exec; only async-signal-safe calls.
struct ChildSetup {
    const char* path;
    char** argv;
    char** envp;
    const char* cwd;   // nullptr: keep
    int in_fd;         // becomes stdin
    int out_fd;        // becomes stdout and stderr
    bool new_session;  // make out_fd (a terminal) the controlling terminal
};

[[noreturn]] void exec_child(const ChildSetup& s) {
    if (s.new_session) {
        setsid();
        ioctl(s.out_fd, TIOCSCTTY, 0);
    }
    dup2(s.in_fd, 0);
    dup2(s.out_fd, 1);
    dup2(s.out_fd, 2);
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (s.cwd != nullptr && chdir(s.cwd) != 0) _exit(127);
    execve(s.path, s.argv, s.envp);
    _exit(127);
}

// Appends what is available on non-blocking `fd` to `out`. Returns false once
// the other end is gone (end of file or an error such as EIO).
bool read_available(int fd, std::string& out) {
    std::array<char, 4096> buf;
    for (int i = 0; i < 64; ++i) {
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n > 0) {
            out.append(buf.data(), static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        return false;
    }
    return true;
}

// Finds `text` in `data` at or after `cursor`; on success moves the cursor past it.
bool take_match(const std::string& data, std::string_view text, std::size_t& cursor) {
    const std::size_t pos = data.find(text, cursor);
    if (pos == std::string::npos) return false;
    cursor = pos + text.size();
    return true;
}

}  // namespace

std::string vqsim_path() {
    return VQSIM_PATH;
}

std::string vqdnc_path() {
#ifdef VQDNC_PATH
    return VQDNC_PATH;
#else
    return "";
#endif
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp");
    pattern += "/vqtest.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    EXPECT_FALSE(path_.empty()) << "cannot make a folder like " << pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    auto remove_entry = [](const char* p, const struct stat*, int, FTW*) { return remove(p); };
    nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::file(std::string_view name) const {
    return path_ + "/" + std::string(name);
}

std::string TempDir::write(std::string_view name, std::string_view content) const {
    std::string path = file(name);
    EXPECT_TRUE(write_file(path, content)) << "cannot write " << path;
    return path;
}

bool write_file(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool path_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string no_log_notice() {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    const bool listening =
        fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    return listening ? "" : "No system log is listening: no job history is kept\n";
}

// ---------------------------------------------------------------------------
// Process
// ---------------------------------------------------------------------------

Process::Process(const std::string& path, const std::vector<std::string>& args, const Env& env,
                 const std::string& cwd, Console console) {
    prepare_test_process();
    if (!spawn(path, args, env, cwd, console)) {
        ADD_FAILURE() << "cannot start " << path << ": " << std::strerror(errno);
    }
}

Process::~Process() {
    if (started() && !exited_) {
        kill(pid_, SIGKILL);
        int st = 0;
        waitpid(pid_, &st, 0);
    }
    if (pidfd_ >= 0) ::close(pidfd_);
    if (in_fd_ >= 0 && in_fd_ != out_fd_) ::close(in_fd_);
    if (out_fd_ >= 0) ::close(out_fd_);
}

bool Process::spawn(const std::string& path, const std::vector<std::string>& args, const Env& env,
                    const std::string& cwd, Console console) {
    std::vector<std::string> argv_strings = {path};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    Env own_env = env;
    if (env.count("XDG_STATE_HOME") == 0) {
        state_home_ = std::make_unique<TempDir>();
        own_env["XDG_STATE_HOME"] = state_home_->path();
    }
    std::vector<std::string> env_strings = child_environment(own_env);
    std::vector<char*> argv = pointers(argv_strings);
    std::vector<char*> envp = pointers(env_strings);

    int child_in = -1;
    int child_out = -1;
    pty_ = console == Console::kPty;
    if (pty_) {
        winsize size = {24, 80, 0, 0};
        if (openpty(&out_fd_, &child_out, nullptr, nullptr, &size) != 0) return false;
        set_cloexec(out_fd_);
        set_cloexec(child_out);
        in_fd_ = out_fd_;
        child_in = child_out;
    } else {
        int in_pipe[2];
        int out_pipe[2];
        if (pipe2(in_pipe, O_CLOEXEC) != 0) return false;
        if (pipe2(out_pipe, O_CLOEXEC) != 0) {
            ::close(in_pipe[0]);
            ::close(in_pipe[1]);
            return false;
        }
        child_in = in_pipe[0];
        in_fd_ = in_pipe[1];
        out_fd_ = out_pipe[0];
        child_out = out_pipe[1];
    }
    set_nonblocking(in_fd_);
    set_nonblocking(out_fd_);

    const ChildSetup setup = {
        path.c_str(), argv.data(), envp.data(), cwd.empty() ? nullptr : cwd.c_str(),
        child_in,     child_out,   pty_};
    pid_ = fork();
    if (pid_ == 0) exec_child(setup);
    const int fork_errno = errno;
    if (child_in != child_out) ::close(child_in);
    ::close(child_out);
    if (pid_ < 0) {
        errno = fork_errno;
        return false;
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
}

void Process::read_output() {
    if (!out_ended_ && !read_available(out_fd_, output_)) out_ended_ = true;
}

void Process::write_input() {
    while (!pending_in_.empty() && in_fd_ >= 0) {
        const ssize_t n = write(in_fd_, pending_in_.data(), pending_in_.size());
        if (n > 0) {
            pending_in_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        } else {
            pending_in_.clear();  // the program no longer reads its input
            input_failed_ = true;
        }
    }
    if (pending_in_.empty() && close_in_after_pending_ && in_fd_ >= 0 && !pty_) {
        ::close(in_fd_);
        in_fd_ = -1;
    }
}

void Process::reap() {
    int st = 0;
    if (exited_ || waitpid(pid_, &st, WNOHANG) != pid_) return;
    exited_ = true;
    exit_time_ = Clock::now();
    status_ = status_code(st);
}

void Process::step(Clock::time_point deadline) {
    std::array<pollfd, 3> fds;
    nfds_t n = 0;
    int timeout = ms_until(deadline);
    const bool want_write = !pending_in_.empty() && in_fd_ >= 0;
    if (!out_ended_) fds[n++] = {out_fd_, POLLIN, 0};
    if (want_write && pty_ && !out_ended_) fds[0].events |= POLLOUT;
    if (want_write && (!pty_ || out_ended_)) fds[n++] = {in_fd_, POLLOUT, 0};
    if (!exited_ && pidfd_ >= 0) fds[n++] = {pidfd_, POLLIN, 0};
    if (!exited_ && pidfd_ < 0) timeout = std::min(timeout, kReapIntervalMs);
    if (exited_ && !out_ended_) timeout = std::min(timeout, 50);
    poll(fds.data(), n, timeout);
    read_output();
    write_input();
    reap();
}

bool Process::send(std::string_view text, Millis timeout) {
    if (in_fd_ < 0) return false;
    pending_in_.append(text);
    const auto deadline = Clock::now() + timeout;
    write_input();
    while (!pending_in_.empty() && !passed(deadline))
        step(deadline);
    return pending_in_.empty() && !input_failed_;
}

void Process::close_input() {
    if (pty_) {
        send("\x04");
        return;
    }
    close_in_after_pending_ = true;
    write_input();
}

bool Process::output_over() const {
    return out_ended_ || (exited_ && Clock::now() - exit_time_ >= kOutputGrace);
}

bool Process::expect(std::string_view text, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (take_match(output_, text, cursor_)) return true;
        if (output_over() || passed(deadline)) return false;
        step(deadline);
    }
}

void Process::read_for(Millis duration) {
    const auto deadline = Clock::now() + duration;
    while (!output_over() && !passed(deadline))
        step(deadline);
    reap();  // the output may end before the exit is seen: a caller may loop on exited()
}

bool Process::wait_exit(Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!(exited_ && output_over())) {
        if (!started() || passed(deadline)) return false;
        step(deadline);
    }
    return true;
}

void Process::signal(int sig) {
    if (started() && !exited_) kill(pid_, sig);
}

RunResult Process::finish(Millis timeout) {
    RunResult result;
    if (!wait_exit(timeout)) {
        signal(SIGKILL);
        wait_exit(kWaitTimeout);
        result.timed_out = true;
    }
    result.output = output_;
    result.exit_status = status_;
    return result;
}

RunResult run_program(const std::string& path, const std::vector<std::string>& args,
                      std::string_view stdin_text, const Env& env, const std::string& cwd,
                      Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    Process process(path, args, env, cwd);
    if (!process.started()) return {};
    process.send(stdin_text, timeout);  // the program may exit before reading it all
    process.close_input();
    return process.finish(
        std::max(Millis(0), std::chrono::duration_cast<Millis>(deadline - Clock::now())));
}

RunResult run_vqdnc(const std::vector<std::string>& args, std::string_view stdin_text,
                    const Env& env, const std::string& cwd, Millis timeout) {
    return run_program(vqdnc_path(), args, stdin_text, env, cwd, timeout);
}

std::unique_ptr<Process> start_vqdnc(const std::vector<std::string>& args, const Env& env,
                                     const std::string& cwd, Console console) {
    return std::make_unique<Process>(vqdnc_path(), args, env, cwd, console);
}

// ---------------------------------------------------------------------------
// Sim
// ---------------------------------------------------------------------------

Sim::Sim(const std::vector<std::string>& args, const std::string& name, const std::string& dir) {
    std::string base = dir;
    if (base.empty()) {
        own_dir_ = std::make_unique<TempDir>();
        base = own_dir_->path();
    }
    link_ = base + "/" + name;
    log_path_ = link_ + ".log";
    std::vector<std::string> all_args = {"--link", link_, "--log", log_path_};
    all_args.insert(all_args.end(), args.begin(), args.end());
    process_ = std::make_unique<Process>(vqsim_path(), all_args);

    static constexpr std::string_view kReady = "vqsim: ready on ";
    if (process_->expect(kReady) && process_->expect("\n")) {
        const std::string& out = process_->output();
        const std::size_t start = out.find(kReady) + kReady.size();
        device_ = out.substr(start, out.find('\n', start) - start);
        ready_ = true;
    } else {
        ADD_FAILURE() << "vqsim did not become ready; it printed:\n" << process_->output();
    }
}

Sim::~Sim() {
    stop();
}

int Sim::stop() {
    if (!process_->started()) return -1;
    if (!process_->exited()) {
        process_->signal(SIGTERM);
        if (!process_->wait_exit(kWaitTimeout)) {
            process_->signal(SIGKILL);
            process_->wait_exit(kWaitTimeout);
        }
    }
    return process_->exit_status();
}

bool Sim::wait_log(std::string_view text, Millis timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (log().find(text) != std::string::npos) return true;
        if (passed(deadline)) return false;
        poll(nullptr, 0, 5);  // the log is a plain file: look again shortly
    }
}

// ---------------------------------------------------------------------------
// Rig
// ---------------------------------------------------------------------------

Env Rig::env(const Env& extra) const {
    Env all = {{"VQDNC_COM1", sim.link()}};
    for (const auto& [name, value] : extra)
        all[name] = value;
    return all;
}

RunResult Rig::run(const std::vector<std::string>& args, std::string_view input, const Env& extra,
                   Millis timeout) const {
    return run_vqdnc(args, input, env(extra), dir.path(), timeout);
}

std::unique_ptr<Process> Rig::start(const std::vector<std::string>& args, const Env& extra,
                                    Console console) const {
    return start_vqdnc(args, env(extra), dir.path(), console);
}

// ---------------------------------------------------------------------------
// PortClient
// ---------------------------------------------------------------------------

PortClient::PortClient(const std::string& path, speed_t rate) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    termios tio;
    bool ok = tcgetattr(fd_, &tio) == 0;
    if (ok) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        ok = cfsetspeed(&tio, rate) == 0 && tcsetattr(fd_, TCSANOW, &tio) == 0;
    }
    if (!ok) close();
}

PortClient::~PortClient() {
    close();
}

void PortClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void PortClient::step(Clock::time_point deadline) {
    pollfd pfd = {fd_, POLLIN, 0};
    if (poll(&pfd, 1, ms_until(deadline)) <= 0) return;
    if (!read_available(fd_, received_) || (pfd.revents & POLLHUP) != 0) hung_up_ = true;
}

bool PortClient::send(std::string_view bytes, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    while (fd_ >= 0 && !bytes.empty()) {
        const ssize_t n = write(fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (passed(deadline)) return false;
        // Read meanwhile: the other end may be waiting for room to echo.
        pollfd pfd = {fd_, POLLIN | POLLOUT, 0};
        if (poll(&pfd, 1, ms_until(deadline)) > 0 && (pfd.revents & POLLIN) != 0) {
            if (!read_available(fd_, received_)) hung_up_ = true;
        }
        if (hung_up_) return false;
    }
    return fd_ >= 0;
}

bool PortClient::expect(std::string_view text, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (take_match(received_, text, cursor_)) return true;
        if (fd_ < 0 || hung_up_ || passed(deadline)) return false;
        step(deadline);
    }
}

bool PortClient::wait_bytes(std::size_t count, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    while (received_.size() < count && fd_ >= 0 && !hung_up_ && !passed(deadline))
        step(deadline);
    return received_.size() >= count;
}

void PortClient::read_for(Millis duration) {
    const auto deadline = Clock::now() + duration;
    while (fd_ >= 0 && !hung_up_ && !passed(deadline))
        step(deadline);
}

bool PortClient::wait_hangup(Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    while (fd_ >= 0 && !hung_up_ && !passed(deadline))
        step(deadline);
    return hung_up_;
}

}  // namespace vqtest
