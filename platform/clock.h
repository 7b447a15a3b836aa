// A millisecond clock counted from process start. Monotonic: it never jumps
// with the wall clock, so a time-out cannot be cut short or stretched by it.
#pragma once

#include <cstdint>

std::int64_t clock_ms();
