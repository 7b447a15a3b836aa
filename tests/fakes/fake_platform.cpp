#include "tests/fakes/fake_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/device_hint.h"
#include "platform/device_map.h"
#include "platform/progress.h"
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

namespace {

using fake::state;

int fail(int error, int result = -1) {
    errno = error;
    return result;
}

bool byte_due() {
    return !state.incoming.empty() && state.incoming.front().at_ms <= state.now_ms;
}

bool lost() {
    return state.lost_at <= state.now_ms;
}

bool stalling() {
    return state.takes_again_at > state.now_ms;
}

// What a wait waits for: room for queued bytes, else the next byte.
bool ready() {
    return state.queued.empty() ? byte_due() : state.takes > 0 || !stalling();
}

// When that comes; the loss of the device ends the wait too.
std::int64_t ready_at() {
    std::int64_t at = !state.queued.empty()    ? state.takes_again_at
                      : state.incoming.empty() ? fake::kNever
                                               : state.incoming.front().at_ms;
    return std::min(at, state.lost_at);
}

}  // namespace

std::int64_t clock_ms() {
    return state.now_ms;
}

bool device_path(int port, char* path, std::size_t size) {
    return std::snprintf(path, size, "fake%d", port + 1) < static_cast<int>(size);
}

void shown_device_path(int port, char* text, std::size_t size) {
    device_path(port, text, size);
}

int serial_open(int, int, int) {
    state.port_open = true;
    return 0;
}
int serial_line_params(int, int, int, int) {
    return 0;
}
int serial_rate(int, int) {
    return 0;
}
int serial_close(int) {
    state.port_open = false;
    return 0;
}

void describe_open_failure(int port, int error, char* text, std::size_t size) {
    std::snprintf(text, size, "COM%d: %d", port + 1, error);
}

int serial_put(int, unsigned char byte) {
    if (!state.port_open) return fail(EBADF);
    state.queued.push_back(static_cast<char>(byte));
    return 0;
}

int serial_send(int) {
    if (lost()) return fail(state.lost_errno, serial::kDeviceLost);
    const std::size_t count =
        stalling() ? std::min(state.queued.size(), state.takes) : state.queued.size();
    if (stalling()) state.takes -= count;
    state.sent += state.queued.substr(0, count);
    state.queued.erase(0, count);
    return static_cast<int>(state.queued.size());
}

int serial_get(int) {
    if (!byte_due()) return lost() ? fail(state.lost_errno, serial::kDeviceLost) : fail(EAGAIN);
    int byte = state.incoming.front().byte;
    state.incoming.pop_front();
    return byte;
}

// Bytes the controller sends answer the program's requests; none come unasked.
int serial_arrived(int) {
    return 0;
}

int serial_event_char(int, unsigned char) {
    return 0;
}

int serial_discard_output(int) {
    state.queued.clear();
    return 0;
}

int serial_wait(int, int timeout_ms) {
    ++state.waits;
    if (!ready() && !lost()) {
        std::int64_t step = state.wait_step_ms > 0 ? state.wait_step_ms : timeout_ms;
        state.now_ms = std::min(ready_at(), state.now_ms + step);
    }
    if (ready()) return 1;
    return lost() ? fail(state.lost_errno, serial::kDeviceLost) : 0;
}

int console_peek() {
    if (state.console_pos >= state.console.size()) return kConsoleEnd;
    return static_cast<unsigned char>(state.console[state.console_pos]);
}

int console_get() {
    int c = console_peek();
    if (c == kConsoleEnd) return c;
    ++state.console_pos;
    state.console_mid_line = c != '\n' && c != '\r';
    return c;
}

bool console_mid_line() {
    return state.console_mid_line;
}

bool console_buffered() {
    return state.console_pos < state.console.size();
}

std::size_t console_write(std::string_view bytes, bool) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

// The tests' output is no terminal: no status line.
void progress_begin(std::string_view, const ProgressRun&) {}
void progress_update(long, std::int64_t) {}
void progress_end() {}
bool progress_shown() {
    return false;
}
void progress_tick() {}
