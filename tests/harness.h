// Helpers for end-to-end tests: temporary directories, the vqsim board
// simulator, a client for its serial device, and running programs (vqdnc) with
// their console on pipes or on a pseudo-terminal.
//
// Every wait is bounded: a test that goes wrong fails after a timeout instead
// of hanging. The timeouts are safety nets, not measurements; they are long so
// that a slow machine never trips them.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vqtest {

using Millis = std::chrono::milliseconds;
using Env = std::map<std::string, std::string>;

// How long a wait for something that should happen soon may take.
inline constexpr Millis kWaitTimeout{10'000};
// How long a whole program run may take.
inline constexpr Millis kRunTimeout{20'000};

// Paths of the programs under test, as built.
std::string vqsim_path();
std::string vqdnc_path();

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes away. A test fails at once if it cannot be made.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path()/name
    std::string file(std::string_view name) const;
    // Writes `content` to path()/name and returns that path; a failed write
    // fails the test.
    std::string write(std::string_view name, std::string_view content) const;

private:
    std::string path_;
};

// Writes `content` to `path`, replacing the file. Returns false on failure.
bool write_file(const std::string& path, std::string_view content);
// The bytes of the file at `path`; empty if it cannot be read.
std::string read_file(const std::string& path);
// True if something (even a dangling symlink) exists at `path`.
bool path_exists(const std::string& path);
// What vqdnc says on a terminal at its first download where no system log
// listens on this machine; empty where one does.
std::string no_log_notice();

// ---------------------------------------------------------------------------
// Running programs
// ---------------------------------------------------------------------------

// Where the program's standard input, output and error go.
enum class Console {
    kPipes,  // stdin from a pipe; stdout and stderr into one pipe
    kPty,    // all three on a pseudo-terminal that is the controlling terminal
};

struct RunResult {
    std::string output;      // stdout and stderr, interleaved as written
    int exit_status = -1;    // exit code; 128 + signal number if killed by a signal
    bool timed_out = false;  // it had to be killed at the timeout
};

// A program running in the background. Its environment is the test's own,
// plus `env`, minus any VQDNC_COMn (n = 1..13) not named in `env`, so a
// developer's own settings cannot leak in; unless `env` names one, its
// XDG_STATE_HOME is a fresh directory of its own, so no job record reaches
// the developer's home. An empty `cwd` keeps the test's.
class Process {
public:
    Process(const std::string& path, const std::vector<std::string>& args, const Env& env = {},
            const std::string& cwd = "", Console console = Console::kPipes);
    // Kills the program (SIGKILL) if it still runs.
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Writes `text` to the program's input (keys, with a pseudo-terminal),
    // reading its output meanwhile. False if it could not all be written in time.
    bool send(std::string_view text, Millis timeout = kWaitTimeout);
    // Ends the input: closes the pipe; with a pseudo-terminal sends ^D (0x04).
    void close_input();

    // Waits until `text` appears in the output after the end of the previous
    // match, and moves past it. False on timeout or once the program has
    // exited and closed its output without printing it.
    bool expect(std::string_view text, Millis timeout = kWaitTimeout);
    // Reads output for `duration` (or until the output ends).
    void read_for(Millis duration);
    // Everything the program has printed so far, and what follows the last match.
    const std::string& output() const { return output_; }
    std::string unmatched() const { return output_.substr(cursor_); }

    // Waits until the program has exited and its output has ended; false on timeout.
    bool wait_exit(Millis timeout = kRunTimeout);
    bool exited() const { return exited_; }
    // Exit status as in RunResult; -1 while running.
    int exit_status() const { return status_; }
    void signal(int sig);
    // wait_exit(timeout); if that fails, kills the program. Returns the run's result.
    RunResult finish(Millis timeout = kRunTimeout);

private:
    bool spawn(const std::string& path, const std::vector<std::string>& args, const Env& env,
               const std::string& cwd, Console console);
    // One bounded wait for output, input room or the program's exit.
    void step(std::chrono::steady_clock::time_point deadline);
    void read_output();
    void write_input();
    void reap();
    // True when no more output is to be waited for.
    bool output_over() const;

    std::unique_ptr<TempDir> state_home_;
    pid_t pid_ = -1;
    int pidfd_ = -1;   // becomes readable when the program exits
    int in_fd_ = -1;   // program's input
    int out_fd_ = -1;  // program's output (same as in_fd_ with a pseudo-terminal)
    bool pty_ = false;
    std::string pending_in_;
    bool close_in_after_pending_ = false;
    bool input_failed_ = false;
    std::string output_;
    std::size_t cursor_ = 0;
    bool out_ended_ = false;
    bool exited_ = false;
    std::chrono::steady_clock::time_point exit_time_;
    int status_ = -1;
};

// Runs a program to its end with `stdin_text` as its whole input.
RunResult run_program(const std::string& path, const std::vector<std::string>& args,
                      std::string_view stdin_text, const Env& env = {}, const std::string& cwd = "",
                      Millis timeout = kRunTimeout);
// The same for vqdnc.
RunResult run_vqdnc(const std::vector<std::string>& args, std::string_view stdin_text,
                    const Env& env = {}, const std::string& cwd = "", Millis timeout = kRunTimeout);
// Starts vqdnc in the background.
std::unique_ptr<Process> start_vqdnc(const std::vector<std::string>& args, const Env& env = {},
                                     const std::string& cwd = "",
                                     Console console = Console::kPipes);

// ---------------------------------------------------------------------------
// The board simulator
// ---------------------------------------------------------------------------

// A running vqsim. It is started with --link DIR/NAME and --log DIR/NAME.log
// before `args`; with an empty `dir` it gets a temporary directory of its own.
// Several may run at once under different names (com1, com2, ...).
// The constructor waits until vqsim is ready and reports a test failure if it
// does not become ready; check ready() before using it.
class Sim {
public:
    explicit Sim(const std::vector<std::string>& args = {}, const std::string& name = "com1",
                 const std::string& dir = "");
    // Stops vqsim (SIGTERM, then SIGKILL if it will not go).
    ~Sim();
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    bool ready() const { return ready_; }
    const std::string& link() const { return link_; }      // symlink to the device
    const std::string& device() const { return device_; }  // /dev/pts/N
    const std::string& log_path() const { return log_path_; }
    pid_t pid() const { return process_->pid(); }
    // What vqsim has printed (its ready line and any complaints).
    const std::string& output() const { return process_->output(); }

    // The bytes vqsim has received so far.
    std::string log() const { return read_file(log_path_); }
    // Waits until the log holds at least `text`'s bytes somewhere; false on timeout.
    bool wait_log(std::string_view text, Millis timeout = kWaitTimeout) const;

    // Sends SIGTERM and waits for the exit. Returns the exit status.
    int stop();
    void signal(int sig) { process_->signal(sig); }
    // Waits for vqsim to exit on its own (after --hangup-after); false on timeout.
    bool wait_exit(Millis timeout = kWaitTimeout) { return process_->wait_exit(timeout); }
    int exit_status() const { return process_->exit_status(); }

private:
    std::unique_ptr<TempDir> own_dir_;
    std::string link_;
    std::string log_path_;
    std::string device_;
    std::unique_ptr<Process> process_;
    bool ready_ = false;
};

// ---------------------------------------------------------------------------
// The usual end-to-end setup
// ---------------------------------------------------------------------------

// vqsim, started with `sim_args`, as COM1 and a fresh working folder: what
// most end-to-end cases need. vqdnc runs in that folder with COM1 named.
struct Rig {
    explicit Rig(const std::vector<std::string>& sim_args = {}) : sim(sim_args) {}

    // VQDNC_COM1 naming the simulator, with `extra` added or overriding it.
    Env env(const Env& extra = {}) const;
    RunResult run(const std::vector<std::string>& args, std::string_view input = "",
                  const Env& extra = {}, Millis timeout = kRunTimeout) const;
    std::unique_ptr<Process> start(const std::vector<std::string>& args = {}, const Env& extra = {},
                                   Console console = Console::kPipes) const;

    TempDir dir;
    Sim sim;
};

// ---------------------------------------------------------------------------
// A client of a serial device
// ---------------------------------------------------------------------------

// Opens a serial device (such as a Sim's link) the way a program would:
// read-write, no controlling terminal, non-blocking, raw 8N1 at `rate`.
class PortClient {
public:
    explicit PortClient(const std::string& path, speed_t rate = B9600);
    ~PortClient();
    PortClient(const PortClient&) = delete;
    PortClient& operator=(const PortClient&) = delete;

    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close();

    // Writes all of `bytes`, reading what arrives meanwhile. False on failure or timeout.
    bool send(std::string_view bytes, Millis timeout = kWaitTimeout);
    // As Process::expect, on what the device delivers.
    bool expect(std::string_view text, Millis timeout = kWaitTimeout);
    // Waits until `count` bytes have been received in all.
    bool wait_bytes(std::size_t count, Millis timeout = kWaitTimeout);
    // Reads for `duration`.
    void read_for(Millis duration);
    // Waits until the other end hangs up (end of file, EIO or POLLHUP).
    bool wait_hangup(Millis timeout = kWaitTimeout);

    const std::string& received() const { return received_; }
    std::string unmatched() const { return received_.substr(cursor_); }

private:
    // One bounded wait for input; notes a hang-up.
    void step(std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    std::string received_;
    std::size_t cursor_ = 0;
    bool hung_up_ = false;
};

}  // namespace vqtest
