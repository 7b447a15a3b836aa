#include "platform/console.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/signals.h"

namespace {

std::array<unsigned char, 4096> buffer;
std::size_t head = 0;
std::size_t tail = 0;
bool ended = false;
bool mid_line = false;

// Bytes put back with console_unget; they fill the array from its end, so the
// unread ones are pushed[pushed_head .. end) and a later push goes in front.
std::array<unsigned char, kConsolePushBackSize> pushed;
std::size_t pushed_head = pushed.size();

bool pushed_waiting() {
    return pushed_head < pushed.size();
}

// Waits for input or a signal; a signal that ends the program is acted on
// here, as no line is on its way to the controller while the console waits.
// 1 when standard input is ready to be read, 0 when not.
int poll_input(int timeout_ms) {
    std::array<pollfd, 2> fds = {{{STDIN_FILENO, POLLIN, 0}, {signal_wake_fd(), POLLIN, 0}}};
    const int ready = poll(fds.data(), fds.size(), timeout_ms);
    if (fds[1].revents != 0) {
        drain_signal_wakes();
        end_if_signalled();
    }
    if (ready < 0) return errno == EINTR ? 0 : 1;  // the read then says what failed
    return fds[0].revents != 0 ? 1 : 0;
}

// Blocks for more input; false once standard input has ended or failed.
bool refill() {
    if (ended) return false;
    while (poll_input(-1) == 0) {
    }
    ssize_t n;
    do {
        n = read(STDIN_FILENO, buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        ended = true;
        return false;
    }
    head = 0;
    tail = static_cast<std::size_t>(n);
    return true;
}

// False when a signal came first.
bool wait_for_room(int fd) {
    std::array<pollfd, 2> fds = {{{fd, POLLOUT, 0}, {signal_wake_fd(), POLLIN, 0}}};
    poll(fds.data(), fds.size(), -1);
    if (fds[1].revents == 0) return true;
    drain_signal_wakes();
    return false;
}

}  // namespace

std::size_t console_write(std::string_view bytes, bool wait) {
    const int fd = console_output_fd();
    if (fd < 0) {
        // Without a descriptor that never blocks, a write waits in the kernel;
        // a signal that ends the program puts /dev/null in its place.
        write_to_console(bytes);
        return bytes.size();
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A console that fails, or is full while it may not hold the job up.
        if (n == 0 || errno != EAGAIN || !wait) return bytes.size();
        if (!wait_for_room(fd)) return written;
    }
    return written;
}

int console_peek() {
    if (pushed_waiting()) return pushed[pushed_head];
    if (head == tail && !refill()) return kConsoleEnd;
    return buffer[head];
}

int console_get() {
    int c;
    if (pushed_waiting()) {
        c = pushed[pushed_head++];
    } else {
        c = console_peek();
        if (c == kConsoleEnd) return c;
        ++head;
    }
    mid_line = c != '\n' && c != '\r';
    return c;
}

bool console_mid_line() {
    return mid_line;
}

bool console_buffered() {
    return pushed_waiting() || head < tail;
}

bool console_wait(int timeout_ms) {
    if (console_buffered() || ended) return true;
    // Any event counts: on a hang-up or a closed descriptor the next read
    // reports the end of input, so a caller never waits on it again.
    return poll_input(timeout_ms < 0 ? -1 : timeout_ms) > 0;
}

bool console_unget(std::string_view bytes) {
    if (bytes.size() > pushed_head) return false;
    pushed_head -= bytes.size();
    std::memcpy(pushed.data() + pushed_head, bytes.data(), bytes.size());
    mid_line = mid_line || !bytes.empty();
    return true;
}
