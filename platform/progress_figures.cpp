#include "platform/progress_figures.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

// Appends to a fixed buffer; what does not fit is cut.
struct Writer {
    std::span<char> out;
    std::size_t used = 0;

    template <typename... Values>
    void add(const char* format, Values... values) {
        const int n = std::snprintf(out.data() + used, out.size() - used, format, values...);
        if (n > 0) used = std::min(used + static_cast<std::size_t>(n), out.size() - 1);
    }
};

}  // namespace

std::size_t progress_figures(const ProgressRun& run, long line, std::int64_t done,
                             std::int64_t elapsed_ms, std::span<char> out) {
    Writer text{out};
    text.add("  line %ld", line);
    const bool within = run.total > 0 && done <= run.total;
    if (within) text.add("  %d%%", static_cast<int>(done * 100 / run.total));
    if (elapsed_ms < kFirstRateMs) return text.used;
    const auto seconds = static_cast<double>(elapsed_ms) / 1000;
    text.add("  %.1f lines/s", static_cast<double>(line - run.first_line) / seconds);
    const std::int64_t sent = done - run.first_byte;
    if (!within || sent <= 0) return text.used;
    const auto left = static_cast<std::int64_t>(static_cast<double>(run.total - done) * seconds /
                                                static_cast<double>(sent));
    std::array<char, 32> duration;
    format_duration(left, duration);
    text.add("  %s left", duration.data());
    return text.used;
}

std::size_t format_duration(std::int64_t seconds, std::span<char> out) {
    Writer text{out};
    const long s = static_cast<long>(std::max<std::int64_t>(seconds, 0));
    if (s < 3600) {
        text.add("%ld:%02ld", s / 60, s % 60);
    } else {
        text.add("%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    }
    return text.used;
}
