#include "platform/clock.h"

#include <chrono>

namespace {
const auto process_start = std::chrono::steady_clock::now();
}

std::int64_t clock_ms() {
    auto since_start = std::chrono::steady_clock::now() - process_start;
    return std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count();
}
