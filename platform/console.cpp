#include "platform/console.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>

namespace {

std::array<unsigned char, 4096> buffer;
std::size_t head = 0;
std::size_t tail = 0;
bool ended = false;

// Blocks for more input; false once standard input has ended or failed.
bool refill() {
    if (ended) return false;
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

}  // namespace

int console_peek() {
    if (head == tail && !refill()) return kConsoleEnd;
    return buffer[head];
}

int console_get() {
    int c = console_peek();
    if (c != kConsoleEnd) ++head;
    return c;
}

bool console_buffered() {
    return head < tail;
}
