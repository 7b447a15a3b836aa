// The figures a download shows about itself, from what this run sent: the
// lines and bytes a resume skipped do not count as sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

struct ProgressRun {
    long first_line = 1;          // the file line this run began at
    std::int64_t first_byte = 0;  // where that line begins in the file
    std::int64_t total = 0;       // the file's size when the run began; 0: unknown
};

// Rates over a shorter time swing too wildly to be worth showing.
inline constexpr std::int64_t kFirstRateMs = 1000;

// "5:41" or "1:02:03". Returns the length.
std::size_t format_duration(std::int64_t seconds, std::span<char> out);

// "  line 3180  15%  50.0 lines/s  5:41 left", as far as known after
// `elapsed_ms` of sending, with `done` bytes of the file read. A file that has
// grown past its size has no share and no time left. Returns the length.
std::size_t progress_figures(const ProgressRun& run, long line, std::int64_t done,
                             std::int64_t elapsed_ms, std::span<char> out);
