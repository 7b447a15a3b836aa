// vqsim: plays a VQ318 motion-controller board on a pseudo-terminal.
//
// The program under test opens the slave side of the pseudo-terminal as if it
// were the serial port; vqsim reads and answers on the master side. vqsim keeps
// a descriptor of the slave open for its whole life: the terminal then survives
// the program closing and re-opening the port without losing queued bytes, the
// master never sees a hang-up in between, and vqsim can read the line settings
// (the rate) the program chose.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "sim/options.h"

namespace {

using vqsim::Options;

// Status lines sent in answer to the 'v' query.
constexpr std::array<std::string_view, 4> kStatusLines = {
    "X+0.0000 Y+0.0000 Z+0.0000",
    "F5.0000",
    "STATUS IDLE",
    "VQ318 READY",
};

// How long a hang-up waits for the program to read the last answer.
constexpr int kDrainChecks = 200;
constexpr long kDrainCheckNs = 10'000'000;  // 200 checks of 10 ms: at most 2 s

// ---------------------------------------------------------------------------
// Signals and waiting
// ---------------------------------------------------------------------------

// Set by SIGTERM, SIGINT or SIGHUP. The stop signals stay blocked except while
// vqsim waits in ppoll(), so a signal can never slip in between a check of this
// flag and the wait that follows.
volatile std::sig_atomic_t g_stop = 0;
sigset_t g_wait_mask;  // the signal mask in force while waiting

// Set by SIGUSR1: the board is to send its unasked text.
volatile std::sig_atomic_t g_unasked = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

void on_unasked_signal(int) {
    g_unasked = 1;
}

bool install_signal_handlers() {
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigset_t stop_set;
    sigemptyset(&stop_set);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
        sa.sa_handler = sig == SIGUSR1 ? on_unasked_signal : on_stop_signal;
        if (sigaction(sig, &sa, nullptr) != 0) return false;
        sigaddset(&stop_set, sig);
    }
    std::signal(SIGPIPE, SIG_IGN);  // a closed stdout must not kill the board
    return sigprocmask(SIG_BLOCK, &stop_set, &g_wait_mask) == 0;
}

// Waits until `fd` is ready for `events`, or for `timeout` (nullptr: no limit).
// With fd < 0 it only sleeps. Returns 1 when ready, 0 on timeout or, in a wait
// for the program's bytes, on SIGUSR1, -1 when a stop signal arrived or the
// wait failed.
int wait_fd(int fd, short events, const timespec* timeout) {
    pollfd pfd = {fd, events, 0};
    for (;;) {
        if (g_stop) return -1;
        if (g_unasked && events == POLLIN) return 0;
        const int n = ppoll(fd < 0 ? nullptr : &pfd, fd < 0 ? 0 : 1, timeout, &g_wait_mask);
        if (n >= 0) return n > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
}

bool sleep_ns(long ns) {
    const timespec ts = {ns / 1'000'000'000, ns % 1'000'000'000};
    return wait_fd(-1, 0, &ts) == 0;
}

// ---------------------------------------------------------------------------
// The pseudo-terminal and its symlink
// ---------------------------------------------------------------------------

struct Line {
    int master = -1;
    int slave = -1;  // vqsim's own descriptor of the slave, kept open throughout
    std::string device;
};

bool set_raw(int fd) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool open_line(Line& line) {
    line.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.master < 0 || grantpt(line.master) != 0 || unlockpt(line.master) != 0) return false;
    const char* name = ptsname(line.master);
    if (name == nullptr) return false;
    line.device = name;
    line.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    return line.slave >= 0 && set_raw(line.slave);
}

void close_line(Line& line) {
    if (line.master >= 0) close(line.master);
    if (line.slave >= 0) close(line.slave);
    line.master = line.slave = -1;
}

// A link already at `path` was left by a simulator that could not remove it
// (killed with SIGKILL): its device is gone, or is by now another program's
// terminal. Anything there but a link is not ours to replace.
bool remove_stale_link(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return errno == ENOENT;
    if (!S_ISLNK(info.st_mode)) {
        errno = EEXIST;
        return false;
    }
    std::array<char, 256> target{};
    const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n < 0 || unlink(path.c_str()) != 0) return false;
    std::fprintf(stderr, "vqsim: removed stale link %s (to %s)\n", path.c_str(), target.data());
    return true;
}

// Creates the symlink under a temporary name and renames it into place, so
// whoever sees `path` can open it at once.
bool create_link(const std::string& path, const std::string& target) {
    if (!remove_stale_link(path)) return false;
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
    if (rename(tmp.c_str(), path.c_str()) == 0) return true;
    unlink(tmp.c_str());
    return false;
}

// Removes the symlink unless it has been replaced by one to another device.
void remove_link(const std::string& path, const std::string& target) {
    if (path.empty()) return;
    std::array<char, 256> buf;
    const ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
    if (n > 0 && std::string_view(buf.data(), static_cast<std::size_t>(n)) == target) {
        unlink(path.c_str());
    }
}

// ---------------------------------------------------------------------------
// Sending to the program
// ---------------------------------------------------------------------------

// Bits per byte on the wire: 8N1 with a start and a stop bit.
constexpr long kBitsPerByte = 10;

long rate_of(speed_t speed) {
    static constexpr struct {
        speed_t code;
        long rate;
    } kRates[] = {
        {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
        {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
        {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    for (const auto& entry : kRates) {
        if (entry.code == speed) return entry.rate;
    }
    return 0;  // B0 or a rate we do not know: no pause
}

// The monotonic clock in nanoseconds: the time line of the wire schedule.
std::int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool sleep_until(std::int64_t when_ns) {
    const std::int64_t left = when_ns - now_ns();
    return left <= 0 || sleep_ns(static_cast<long>(left));
}

// How late a sleep may wake. The board's last bytes before it falls quiet (the
// prompt, which the program waits for) are waited for on the clock for this
// long, so that the board waking late does not count against the program.
constexpr std::int64_t kWakeSlackNs = 200'000;

// A USB serial adapter passes received bytes on in packets of at most 62
// (64 bytes less two of status).
constexpr int kAdapterPacket = 62;

// Writes the board's output to the master. Each byte gets the time at which
// the program may have it; the bytes whose time has come go out in one write.
// Unpaced, every byte's time is at once. Paced, a byte takes the wire after the
// one before, so the times keep to the line rate however late a sleep wakes.
class Sender {
public:
    Sender(const Line& line, const Options& opts) : line_(line), opts_(opts) {}

    bool put(char byte) {
        if (len_ == bytes_.size() && !flush()) return false;
        std::int64_t due = 0;
        if (paced()) {
            const std::int64_t now = now_ns();
            if (wire_free_ns_ <= now) byte_ns_ = pause_per_byte_ns();  // the rate may have changed
            wire_free_ns_ = std::max(now, wire_free_ns_) + byte_ns_;
            due = through_adapter(wire_free_ns_, byte);
        }
        bytes_[len_] = byte;
        due_ns_[len_++] = due;
        return true;
    }

    bool put(std::string_view text) {
        for (const char c : text) {
            if (!put(c)) return false;
        }
        return true;
    }

    bool put_prompt(char prompt) {
        if (!put(prompt)) return false;
        prompt_end_ = len_;
        return true;
    }

    // Puts `text` to go out together with the last byte put, not paced.
    bool put_with_last(std::string_view text) {
        for (const char c : text) {
            if (len_ == bytes_.size() && !flush()) return false;
            due_ns_[len_] = len_ > head_ ? due_ns_[len_ - 1] : 0;
            bytes_[len_++] = c;
        }
        return true;
    }

    // The last prompt put has not been written yet.
    bool prompt_held() const { return head_ < prompt_end_; }

    // Writes every byte whose time has come, in one write.
    bool send_due() {
        if (last_due_soon()) {
            while (now_ns() < due_ns_[head_]) {
            }
        }
        std::size_t end = head_;
        const std::int64_t now = head_ < len_ && paced() ? now_ns() : 0;
        while (end < len_ && due_ns_[end] <= now)
            ++end;
        const bool ok = write_all(bytes_.data() + head_, end - head_);
        head_ = end;
        if (head_ == len_) head_ = len_ = prompt_end_ = packet_count_ = 0;  // all passed on
        return ok;
    }

    // How long a wait for the program may last: until the next bytes are due
    // (the last ones a little before), without limit when none is held.
    const timespec* time_to_next() {
        if (head_ == len_) return nullptr;
        const std::int64_t to_due = due_ns_[head_] - now_ns();
        const std::int64_t left =
            std::max<std::int64_t>(0, to_due - (last_group() ? kWakeSlackNs : 0));
        wait_ = {static_cast<time_t>(left / 1'000'000'000),
                 static_cast<long>(left % 1'000'000'000)};
        return &wait_;
    }

    // Sends every byte held, each at its time.
    bool flush() {
        while (head_ < len_) {
            if (!sleep_until(due_ns_[head_]) || !send_due()) return false;
        }
        return true;
    }

private:
    // True when the bytes still held all go out at once, as the last ones.
    bool last_group() const { return head_ < len_ && due_ns_[head_] == due_ns_[len_ - 1]; }

    bool last_due_soon() const {
        return paced() && last_group() && due_ns_[head_] - now_ns() < kWakeSlackNs;
    }

    bool paced() const {
        return opts_.byte_delay_us > 0 || opts_.emulate_rate || opts_.latency_timer_ms > 0;
    }

    std::int64_t pause_per_byte_ns() const {
        std::int64_t ns = opts_.byte_delay_us * 1000;
        if (opts_.emulate_rate) {
            termios tio;
            const long rate = tcgetattr(line_.slave, &tio) == 0 ? rate_of(cfgetospeed(&tio)) : 0;
            if (rate > 0) ns += kBitsPerByte * 1'000'000'000 / rate;
        }
        return ns;
    }

    // When a byte that has crossed the wire at `arrival` reaches the program:
    // an adapter holds it until the latency timer, counted from the first byte
    // it holds, runs out, until its packet is full, or until its event
    // character comes.
    std::int64_t through_adapter(std::int64_t arrival, char byte) {
        if (opts_.latency_timer_ms == 0) return arrival;
        const std::int64_t timer_ns = opts_.latency_timer_ms * 1'000'000;
        if (packet_count_ == 0 || arrival >= packet_start_ns_ + timer_ns) {
            packet_start_ns_ = arrival;
            packet_count_ = 0;
            packet_first_ = len_;
        }
        const bool event = opts_.event_char == static_cast<unsigned char>(byte);
        if (++packet_count_ < kAdapterPacket && !event) return packet_start_ns_ + timer_ns;
        for (std::size_t i = packet_first_; i < len_; ++i)
            due_ns_[i] = arrival;
        packet_count_ = 0;
        return arrival;
    }

    // Writes everything, waiting while the program has not read enough.
    bool write_all(const char* data, std::size_t len) {
        while (len > 0) {
            const ssize_t n = write(line_.master, data, len);
            if (n > 0) {
                data += n;
                len -= static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else if (wait_fd(line_.master, POLLOUT, nullptr) < 0) {
                return false;
            }
        }
        return true;
    }

    const Line& line_;
    const Options& opts_;
    std::array<char, 4096> bytes_;
    std::array<std::int64_t, 4096> due_ns_;  // when each byte may reach the program
    std::size_t head_ = 0;                   // the first byte not yet written
    std::size_t len_ = 0;
    std::size_t prompt_end_ = 0;        // just past the last prompt put
    std::int64_t wire_free_ns_ = 0;     // when the last byte put is through the wire
    std::int64_t byte_ns_ = 0;          // each byte's time on the wire, pause included
    std::int64_t packet_start_ns_ = 0;  // the adapter's packet being filled
    int packet_count_ = 0;
    std::size_t packet_first_ = 0;
    timespec wait_{};
};

// ---------------------------------------------------------------------------
// The board's protocol
// ---------------------------------------------------------------------------

class Board {
public:
    Board(const Options& opts, Sender& out) : opts_(opts), out_(out) {}

    // Handles one byte received from the program. Returns false if sending failed.
    bool receive(char byte) {
        ++received_;
        if (opts_.strict && at_line_start_ && out_.prompt_held()) report_early_line();
        if (is_received(opts_.unasked_at) && !out_.put(opts_.unasked)) return false;
        const bool query = at_line_start_ && byte == 'v' && !opts_.silent;
        char echo = opts_.upper_echo ? upper(byte) : byte;
        if (is_received(opts_.garble_at)) echo = static_cast<char>(echo ^ 1);
        if (opts_.echo && !out_.put(echo)) return false;
        if (query) return answer_query();
        at_line_start_ = byte == '\n';
        if (!at_line_start_) return true;
        if (lines_ < UINT64_MAX) ++lines_;
        if (opts_.silent) return true;
        const bool own_answer = lines_ == static_cast<std::uint64_t>(opts_.answer_for);
        if (!out_.put(own_answer ? opts_.line_answer : opts_.answer) ||
            !out_.put_prompt(opts_.prompt))
            return false;
        return lines_ != static_cast<std::uint64_t>(opts_.unasked_after) ||
               out_.put_with_last(opts_.unasked);
    }

    // True once the line after which the board is to hang up has been answered,
    // or the byte after which it is to hang up has come.
    bool hangup_due() const {
        return (opts_.hangup_after > 0 &&
                lines_ >= static_cast<std::uint64_t>(opts_.hangup_after)) ||
               (opts_.hangup_after_bytes > 0 &&
                received_ >= static_cast<std::uint64_t>(opts_.hangup_after_bytes));
    }

    // How many of `available` received bytes the board takes: none after the
    // byte it is to hang up after, so the log ends with that byte.
    std::size_t bytes_to_take(std::size_t available) const {
        if (opts_.hangup_after_bytes <= 0) return available;
        const auto left = static_cast<std::uint64_t>(opts_.hangup_after_bytes) - received_;
        return static_cast<std::size_t>(std::min<std::uint64_t>(available, left));
    }

    // True, once, when the board is to stop taking bytes for a while.
    bool stall_due() {
        if (opts_.stall_after <= 0 || stalled_ ||
            received_ < static_cast<std::uint64_t>(opts_.stall_after))
            return false;
        stalled_ = true;
        return true;
    }

private:
    // The byte just received is the `count`th.
    bool is_received(long count) const {
        return count > 0 && received_ == static_cast<std::uint64_t>(count);
    }

    static char upper(char byte) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(byte)));
    }

    void report_early_line() const {
        std::fprintf(stderr, "vqsim: line %llu began before the prompt for line %llu\n",
                     static_cast<unsigned long long>(lines_ + 1),
                     static_cast<unsigned long long>(lines_));
    }

    bool answer_query() {
        for (const std::string_view status : kStatusLines) {
            if (!out_.put(status) || !out_.put("\r\n") || !out_.put_prompt(opts_.prompt))
                return false;
        }
        return true;  // still at the start of a line
    }

    const Options& opts_;
    Sender& out_;
    bool at_line_start_ = true;
    std::uint64_t lines_ = 0;
    std::uint64_t received_ = 0;
    bool stalled_ = false;
};

// ---------------------------------------------------------------------------
// Main loop
// ---------------------------------------------------------------------------

// Appends received bytes to the log file as soon as they are read.
bool write_log(int fd, const char* data, std::size_t len) {
    while (fd >= 0 && len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// True while bytes sent to the program still wait to be read. Polling the
// slave first makes the kernel move bytes still in transit into its input
// queue, so nothing on its way is missed.
bool unread_bytes_queued(int slave) {
    pollfd pfd = {slave, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0;
}

// Before hanging up, gives the program a bounded time to read what is still
// queued for it, so that it reliably sees the answer to the last line (a
// hang-up discards whatever is unread).
void wait_until_read(int slave) {
    for (int i = 0; i < kDrainChecks && unread_bytes_queued(slave); ++i) {
        if (!sleep_ns(kDrainCheckNs)) return;
    }
}

// Takes no bytes for `ms`, as a device that stops reading: the slave's output
// is stopped, so the program's writes wait (or fail with EAGAIN) meanwhile.
bool stall(const Line& line, long ms) {
    if (tcflow(line.slave, TCOOFF) != 0) return false;
    const bool slept = sleep_ns(ms * 1'000'000);
    tcflow(line.slave, TCOON);
    return slept;
}

// The line rate the program set, said whenever bytes come at another one.
void report_rate(int slave) {
    static long reported = -1;
    termios tio;
    const long rate = tcgetattr(slave, &tio) == 0 ? rate_of(cfgetospeed(&tio)) : 0;
    if (rate == reported) return;
    reported = rate;
    std::printf("vqsim: bytes at %ld baud\n", rate);
    std::fflush(stdout);
}

enum class End { kStopped, kHungUp, kFailed };

// Handles one chunk of received bytes. Returns true to keep going.
bool handle_chunk(const char* data, std::size_t len, Board& board, End& end) {
    for (std::size_t i = 0; i < len; ++i) {
        if (!board.receive(data[i])) return false;
        if (board.hangup_due()) {
            end = End::kHungUp;
            return false;
        }
    }
    return true;
}

End serve(const Line& line, const Options& opts, int log_fd) {
    Sender out(line, opts);
    Board board(opts, out);
    std::array<char, 256> buf;
    End end = End::kFailed;
    // Bytes due go out before each wait, and the wait ends when the next is
    // due, so the program's next bytes are read while earlier output is held.
    for (;;) {
        if (g_unasked) {
            g_unasked = 0;
            if (!out.put(opts.unasked)) break;
        }
        if (!out.send_due()) break;
        const int ready = wait_fd(line.master, POLLIN, out.time_to_next());
        if (ready < 0) break;
        if (ready == 0) continue;
        const ssize_t n = read(line.master, buf.data(), buf.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        if (opts.report_rate) report_rate(line.slave);
        const std::size_t len = board.bytes_to_take(static_cast<std::size_t>(n));
        if (!write_log(log_fd, buf.data(), len)) break;
        if (!handle_chunk(buf.data(), len, board, end)) break;
        if (board.stall_due() && (!out.flush() || !stall(line, opts.stall_ms))) break;
    }
    if (end == End::kHungUp && out.flush()) wait_until_read(line.slave);
    if (g_stop) return End::kStopped;
    return end;
}

int open_log(const std::string& path) {
    if (path.empty()) return -1;
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

void announce(const std::string& device) {
    std::printf("vqsim: ready on %s\n", device.c_str());
    std::fflush(stdout);
}

int run(const Options& opts) {
    const int log_fd = open_log(opts.log);
    if (!opts.log.empty() && log_fd < 0) {
        std::fprintf(stderr, "vqsim: cannot open log %s: %s\n", opts.log.c_str(), strerror(errno));
        return 1;
    }
    Line line;
    if (!open_line(line)) {
        std::fprintf(stderr, "vqsim: cannot set up a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    if (!opts.link.empty() && !create_link(opts.link, line.device)) {
        std::fprintf(stderr, "vqsim: cannot create link %s: %s\n", opts.link.c_str(),
                     strerror(errno));
        close_line(line);
        return 1;
    }
    announce(line.device);
    const End end = serve(line, opts, log_fd);
    const int serve_errno = errno;  // what made the line fail, before cleanup
    // The link goes first: once the program sees the hang-up, the link is gone.
    remove_link(opts.link, line.device);
    close_line(line);
    if (log_fd >= 0) close(log_fd);
    if (end == End::kFailed) {
        std::fprintf(stderr, "vqsim: line failed: %s\n", strerror(serve_errno));
    }
    return end == End::kFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opts;
    std::string error;
    switch (vqsim::parse_options(argc, argv, opts, error)) {
        case vqsim::ParseResult::kHelp:
            std::fputs(vqsim::usage_text(), stdout);
            return 0;
        case vqsim::ParseResult::kVersion:
            std::printf("vqsim (vqdnc) %s\n", VQDNC_VERSION);
            return 0;
        case vqsim::ParseResult::kError:
            std::fprintf(stderr, "vqsim: %s\n", error.c_str());
            return 2;
        case vqsim::ParseResult::kRun:
            break;
    }
    if (!install_signal_handlers()) {
        std::fprintf(stderr, "vqsim: cannot install signal handlers\n");
        return 1;
    }
    return run(opts);
}
