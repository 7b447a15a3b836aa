// Serial device layer over POSIX termios.
//
// Bytes put on a port are queued and leave together with serial_send, so a line
// the program forms goes to the device in one write, not one system call per
// byte. A device that takes only part of them keeps the rest queued: nothing is
// dropped while it lives. Received bytes are read in blocks and handed out one
// at a time.

#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/device_map.h"
#include "platform/low_latency.h"
#include "platform/signals.h"
#include "platform/terminal_users.h"

namespace {

constexpr std::size_t kQueueLimit = 4096;
// Unix98 pseudo-terminal slaves (/dev/pts/N) have these device majors.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

constexpr std::array<speed_t, 10> kRates = {B110,  B300,   B1200,  B2400,  B4800,
                                            B9600, B19200, B38400, B57600, B115200};

struct Framing {
    int parity = 0;     // 0 none, 1 odd, 2 even
    int stop_bits = 0;  // 0 one, 2 two
    int data_bits = 8;
};

struct Port {
    int fd = -1;
    std::size_t rx_limit = 1024;
    std::size_t tx_limit = 1024;
    std::array<unsigned char, kQueueLimit> rx{};
    std::size_t rx_head = 0;
    std::size_t rx_tail = 0;
    std::array<unsigned char, kQueueLimit> tx{};
    std::size_t tx_sent = 0;  // queued bytes the device has taken already
    std::size_t tx_used = 0;
    termios found{};  // the device's settings before the open, restored on close
    LatencyChanges latency;
};

Framing preset_framing;
std::array<Port, serial::kPortCount> ports;

int fail(int error) {
    errno = error;
    return -1;
}

int lost(int error) {
    errno = error;
    return serial::kDeviceLost;
}

std::size_t queue_size(int requested) {
    if (requested < 1) return 1;
    return static_cast<std::size_t>(requested) < kQueueLimit ? static_cast<std::size_t>(requested)
                                                             : kQueueLimit;
}

// The record of `port` when it is open; null for a closed or unknown port.
Port* find_open_port(int port) {
    if (port < 0 || port >= serial::kPortCount) return nullptr;
    Port& p = ports[static_cast<std::size_t>(port)];
    return p.fd >= 0 ? &p : nullptr;
}

bool valid_framing(const Framing& f) {
    return (f.parity >= 0 && f.parity <= 2) && (f.stop_bits == 0 || f.stop_bits == 2) &&
           (f.data_bits >= 5 && f.data_bits <= 8);
}

void apply_framing(termios& t, const Framing& f) {
    constexpr std::array<tcflag_t, 4> kSizes = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= kSizes[static_cast<std::size_t>(f.data_bits - 5)];
    if (f.parity != 0) t.c_cflag |= PARENB;
    if (f.parity == 1) t.c_cflag |= PARODD;
    if (f.stop_bits == 2) t.c_cflag |= CSTOPB;
}

// Raw mode: no echo, no line editing, no character translation either way, no
// flow control, receiver on, modem lines ignored.
int make_raw(int fd, termios t, const Framing& framing) {
    cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cflag &= ~CRTSCTS;
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    apply_framing(t, framing);
    return tcsetattr(fd, TCSANOW, &t);
}

// The exclusive flag of a pseudo-terminal outlives a program killed with
// SIGKILL while the other side keeps the terminal open, and would lock every
// later user out; there the lock alone keeps a second program away.
bool is_pseudo_terminal(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    const unsigned device_major = major(info.st_rdev);
    return device_major >= kPtySlaveMajorFirst && device_major <= kPtySlaveMajorLast;
}

// Terminals that are never a controller's line, refused right after the
// open, before anything on them is changed: /dev/ptmx, and a terminal that
// is some session's screen (a stale link's /dev/pts/N that a login now has).
// 0 when the device may be used.
int refusal(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return 0;  // tcgetattr tells
    if (is_pseudo_terminal_multiplexer(info.st_rdev)) return ENOTTY;
    return is_session_terminal(info.st_rdev) ? EBUSY : 0;
}

bool tx_queued(const Port& p) {
    return p.tx_sent < p.tx_used;
}

// Moves the bytes still queued to the front, making room behind them.
void compact_tx(Port& p) {
    std::memmove(p.tx.data(), p.tx.data() + p.tx_sent, p.tx_used - p.tx_sent);
    p.tx_used -= p.tx_sent;
    p.tx_sent = 0;
}

bool rx_waiting(const Port& p) {
    return p.rx_head < p.rx_tail;
}

// Reads what the device has into the receive buffer. Returns the number of
// bytes read, 0 when none is waiting yet, -1 when the device has ended or failed.
int fill_rx(Port& p) {
    p.rx_head = p.rx_tail = 0;
    ssize_t n;
    do {
        n = read(p.fd, p.rx.data(), p.rx_limit);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        p.rx_tail = static_cast<std::size_t>(n);
        return static_cast<int>(n);
    }
    if (n < 0 && errno == EAGAIN) return 0;
    if (n == 0) errno = EIO;  // end of file on a terminal: the line has hung up
    return -1;
}

void release(Port& p) {
    tcsetattr(p.fd, TCSANOW, &p.found);
    restore_latency(p.fd, p.latency);
    ioctl(p.fd, TIOCNXCL);
    flock(p.fd, LOCK_UN);
    close(p.fd);
    p.fd = -1;
    p.rx_head = p.rx_tail = p.tx_sent = p.tx_used = 0;
}

}  // namespace

int serial_event_char(int port, unsigned char byte) {
    if (port < 0 || port >= serial::kPortCount) return fail(ENODEV);
    Port& p = ports[static_cast<std::size_t>(port)];
    if (p.fd < 0) return fail(EBADF);
    return set_event_char(p.latency, byte) ? 1 : 0;
}

int serial_open(int port, int rx_queue, int tx_queue) {
    if (port == serial::kPresetPort) return 0;  // queues belong to a real port
    if (port < 0 || port >= serial::kPortCount) return fail(ENODEV);
    Port& p = ports[static_cast<std::size_t>(port)];
    if (p.fd >= 0) serial_close(port);

    char path[4096];
    if (!device_path(port, path, sizeof path)) return fail(ENAMETOOLONG);
    if (path[0] == '\0') return fail(ENOENT);  // an empty variable names no device
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (const int refused = refusal(fd)) {
        close(fd);
        return fail(refused);
    }
    // The lock comes before any change to the device, so a second program on
    // the same port fails without touching the first one's line. TIOCEXCL keeps
    // other programs out too, but does not stop root; the lock does.
    termios found{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &found) != 0 ||
        make_raw(fd, found, preset_framing) != 0) {
        int error = errno;
        close(fd);
        return fail(error);
    }
    if (!is_pseudo_terminal(fd)) ioctl(fd, TIOCEXCL);
    // Whatever the controller sent before this open (the rest of an answer to
    // a program that was stopped) would be taken for the echo of the next line.
    tcflush(fd, TCIFLUSH);
    p.fd = fd;
    lower_latency(fd, path, p.latency);
    p.rx_limit = queue_size(rx_queue);
    p.tx_limit = queue_size(tx_queue);
    p.rx_head = p.rx_tail = p.tx_sent = p.tx_used = 0;
    p.found = found;
    return 0;
}

int serial_line_params(int port, int parity, int stop_bits, int data_bits) {
    Framing framing{parity, stop_bits, data_bits};
    if (!valid_framing(framing)) return fail(EINVAL);
    if (port == serial::kPresetPort) {
        preset_framing = framing;
        return 0;
    }
    Port* p = find_open_port(port);
    if (p == nullptr) return fail(EBADF);
    termios t{};
    if (tcgetattr(p->fd, &t) != 0) return -1;
    apply_framing(t, framing);
    return tcsetattr(p->fd, TCSANOW, &t) == 0 ? 0 : -1;
}

int serial_rate(int port, int rate_code) {
    if (rate_code < 0 || rate_code >= static_cast<int>(kRates.size())) return fail(EINVAL);
    Port* p = find_open_port(port);
    if (p == nullptr) return fail(EBADF);
    termios t{};
    if (tcgetattr(p->fd, &t) != 0) return -1;
    speed_t speed = kRates[static_cast<std::size_t>(rate_code)];
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return -1;
    return tcsetattr(p->fd, TCSANOW, &t) == 0 ? 0 : -1;
}

int serial_put(int port, unsigned char byte) {
    Port* p = find_open_port(port);
    if (p == nullptr) return fail(EBADF);
    if (p->tx_used >= p->tx_limit) compact_tx(*p);
    if (p->tx_used >= p->tx_limit) return fail(EAGAIN);
    p->tx[p->tx_used++] = byte;
    return 0;
}

int serial_send(int port) {
    Port* p = find_open_port(port);
    if (p == nullptr) return fail(EBADF);
    while (tx_queued(*p)) {
        ssize_t n = write(p->fd, p->tx.data() + p->tx_sent, p->tx_used - p->tx_sent);
        if (n > 0) {
            p->tx_sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN) {
            break;  // the device takes no more for now
        } else {
            return lost(errno);
        }
    }
    if (!tx_queued(*p)) p->tx_sent = p->tx_used = 0;
    return static_cast<int>(p->tx_used - p->tx_sent);
}

int serial_get(int port) {
    Port* p = find_open_port(port);
    if (p == nullptr) return fail(EBADF);
    if (!rx_waiting(*p)) {
        int got = fill_rx(*p);
        if (got < 0) return serial::kDeviceLost;  // errno from fill_rx
        if (got == 0) return fail(EAGAIN);
    }
    return p->rx[p->rx_head++];
}

int serial_arrived(int port) {
    Port* p = find_open_port(port);
    if (p == nullptr) return fail(EBADF);
    int in_driver = 0;
    if (ioctl(p->fd, FIONREAD, &in_driver) != 0) in_driver = 0;
    return static_cast<int>(p->rx_tail - p->rx_head) + in_driver;
}

int serial_discard_output(int port) {
    Port* p = find_open_port(port);
    if (p == nullptr) return fail(EBADF);
    p->tx_sent = p->tx_used = 0;
    return tcflush(p->fd, TCOFLUSH) == 0 ? 0 : -1;
}

int serial_wait(int port, int timeout_ms) {
    if (timeout_ms < 0) timeout_ms = 0;
    Port* p = find_open_port(port);
    if (p == nullptr) return fail(EBADF);
    const bool sending = tx_queued(*p);
    if (!sending && rx_waiting(*p)) return 1;
    // A signal ends the wait early, for the caller to see what came.
    std::array<pollfd, 2> fds = {{{p->fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0},
                                  {signal_wake_fd(), POLLIN, 0}}};
    int ready = poll(fds.data(), fds.size(), timeout_ms);
    if (ready < 0) return errno == EINTR ? 0 : lost(errno);
    if (fds[1].revents != 0) drain_signal_wakes();
    const pollfd& pfd = fds[0];
    if (pfd.revents == 0) return 0;
    if (sending) return (pfd.revents & POLLOUT) != 0 ? 1 : lost(EIO);
    int got = fill_rx(*p);
    if (got > 0) return 1;
    if (got < 0) return serial::kDeviceLost;
    // Nothing to read, yet poll woke: only a hang-up or a device error does that.
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? lost(EIO) : 0;
}

int serial_close(int port) {
    if (port == serial::kPresetPort) return 0;
    Port* p = find_open_port(port);
    if (p == nullptr) return fail(EBADF);
    release(*p);
    return 0;
}
