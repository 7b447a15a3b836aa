// Shared pieces of the fuzz targets: the program's console output caught in
// memory, and the checks on what the controller exchange shows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "link/link.h"

namespace fuzz {

// Everything the program prints between begin and end. Standard output is
// swapped for a memory stream, so nothing reaches the fuzzer's own terminal
// and bytes of any value are kept.
struct Capture {
    std::FILE* saved = nullptr;
    char* buffer = nullptr;
    std::size_t size = 0;
};

inline void begin(Capture& capture) {
    capture.saved = stdout;
    stdout = open_memstream(&capture.buffer, &capture.size);
    if (stdout == nullptr) std::abort();
}

inline std::string end(Capture& capture) {
    std::fclose(stdout);
    stdout = capture.saved;
    std::string text(capture.buffer, capture.size);
    std::free(capture.buffer);
    capture = Capture{};
    return text;
}

// Stops the run with the input that broke a rule, so libFuzzer keeps it.
inline void check(bool condition, const char* rule) {
    if (condition) return;
    std::fprintf(stderr, "rule broken: %s\n", rule);
    std::abort();
}

// Whether every byte of `part` occurs in `whole`, in the same order.
inline bool is_subsequence(std::string_view part, std::string_view whole) {
    std::size_t at = 0;
    for (char c : part) {
        at = whole.find(c, at);
        if (at == std::string_view::npos) return false;
        ++at;
    }
    return true;
}

// `answer` with its second and later line feeds left out: how a controller's
// answer appears on the console in normal output mode.
inline std::string first_line_feed_only(std::string_view answer) {
    std::string kept;
    bool line_fed = false;
    for (char c : answer) {
        if (c == '\n' && std::exchange(line_fed, true)) continue;
        kept += c;
    }
    return kept;
}

}  // namespace fuzz
