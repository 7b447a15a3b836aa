#include "tests/fakes/fake_platform.h"

#include <cerrno>
#include <cstdio>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/device_hint.h"
#include "platform/serial_port.h"

namespace fake {

State state;

void reset() {
    state = State{};
}

void controller_sends(std::string_view bytes, std::int64_t at_ms) {
    for (char c : bytes)
        state.incoming.push_back({at_ms, static_cast<unsigned char>(c)});
}

}  // namespace fake

using fake::state;

std::int64_t clock_ms() {
    return state.now_ms;
}

int serial_open(int, int, int) {
    return 0;
}
int serial_line_params(int, int, int, int) {
    return 0;
}
int serial_rate(int, int) {
    return 0;
}
int serial_close(int) {
    return 0;
}

void describe_open_failure(int port, int error, char* text, std::size_t size) {
    std::snprintf(text, size, "COM%d: %d", port + 1, error);
}

int serial_put(int, unsigned char byte) {
    if (!state.port_open) return -1;
    state.sent.push_back(static_cast<char>(byte));
    return 0;
}

int serial_get(int) {
    if (state.incoming.empty() || state.incoming.front().at_ms > state.now_ms) {
        errno = EAGAIN;
        return -1;
    }
    int byte = state.incoming.front().byte;
    state.incoming.pop_front();
    return byte;
}

int serial_wait(int, int timeout_ms) {
    ++state.waits;
    if (!state.incoming.empty() && state.incoming.front().at_ms <= state.now_ms) return 1;
    std::int64_t step = state.wait_step_ms > 0 ? state.wait_step_ms : timeout_ms;
    std::int64_t until = state.now_ms + step;
    if (!state.incoming.empty() && state.incoming.front().at_ms < until) {
        state.now_ms = state.incoming.front().at_ms;
        return 1;
    }
    state.now_ms = until;
    return 0;
}

int console_peek() {
    if (state.console_pos >= state.console.size()) return kConsoleEnd;
    return static_cast<unsigned char>(state.console[state.console_pos]);
}

int console_get() {
    int c = console_peek();
    if (c != kConsoleEnd) ++state.console_pos;
    return c;
}

bool console_buffered() {
    return state.console_pos < state.console.size();
}
