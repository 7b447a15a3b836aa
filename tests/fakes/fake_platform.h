// Stand-ins for the platform interfaces, driven by the tests: a controller
// whose bytes arrive at chosen times on a clock the test moves, and a console
// fed from a string.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <string_view>

namespace fake {

struct Arrival {
    std::int64_t at_ms;
    int byte;
};

inline constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

struct State {
    std::int64_t now_ms = 0;
    std::deque<Arrival> incoming;  // bytes the controller sends, in order
    std::string queued;            // bytes put on the port, not yet taken; closing keeps them
    std::string sent;              // bytes the device took
    // The device takes `takes` more bytes, then none until `takes_again_at`.
    std::size_t takes = std::numeric_limits<std::size_t>::max();
    std::int64_t takes_again_at = kNever;
    // From `lost_at` on the device is gone with `lost_errno`, once what came before is read.
    std::int64_t lost_at = kNever;
    int lost_errno = 0;
    // How far one serial_wait moves the clock when nothing arrives sooner;
    // 0 moves it by the whole time asked for.
    std::int64_t wait_step_ms = 0;
    long waits = 0;  // serial_wait calls, to tell a blocking wait from a spin
    bool port_open = true;
    std::string console;
    std::size_t console_pos = 0;
    bool console_mid_line = false;
};

extern State state;

void reset();
// Bytes the controller sends at `at_ms`.
void controller_sends(std::string_view bytes, std::int64_t at_ms = 0);

}  // namespace fake
