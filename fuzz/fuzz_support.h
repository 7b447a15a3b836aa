// Shared pieces of the fuzz targets: the program's console output caught in
// memory, and a plain reading of the controller exchange to check it against.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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

// The controller's bytes as the model sees them: byte i arrives at arrival(i)
// on the millisecond clock.
struct ModelLine {
    std::string bytes;
    std::size_t pos = 0;
    std::size_t gap_index = SIZE_MAX;  // bytes from here on arrive at gap_at
    std::int64_t gap_at = 0;
    std::int64_t now = 0;

    std::int64_t arrival(std::size_t i) const { return i >= gap_index ? gap_at : 0; }
};

// The next byte as the exchange takes it: at once when it is there, after a
// wait when it comes before more than REPLY_TIMEOUT_MS have passed since the
// wait's start, else -1 with the clock moved just past the time-out. A byte
// that is there at the very moment the time runs out is still taken: the
// device is asked once more before the clock is looked at.
inline int model_next(ModelLine& line) {
    const std::int64_t start = line.now;
    if (line.pos < line.bytes.size()) {
        const std::int64_t at = line.arrival(line.pos);
        if (at - start <= REPLY_TIMEOUT_MS + 1) {
            if (at > line.now) line.now = at;
            return static_cast<unsigned char>(line.bytes[line.pos++]);
        }
    }
    line.now = start + REPLY_TIMEOUT_MS + 1;
    return -1;
}

// The exchange as the operator's manual describes it: `echo_count` echo bytes
// shown whatever the mode, then the answer up to the prompt, of which quiet
// mode shows nothing and normal mode shows all but the second and later line
// feeds. Returns 0 once the prompt has come, -1 after a time-out.
inline int model_await(ModelLine& line, char prompt, int echo_count, char mode,
                       std::string& shown) {
    const int prompt_byte = static_cast<unsigned char>(prompt);
    int last = 0;
    for (int i = 0; i < echo_count; ++i) {
        last = model_next(line);
        if (last < 0) return -1;
        shown += static_cast<char>(last);
    }
    int line_feeds = 0;
    while (last != prompt_byte) {
        last = model_next(line);
        if (last < 0) return -1;
        if (mode != 'n') continue;
        if (last == '\n') ++line_feeds;
        if (last != '\n' || line_feeds == 1) shown += static_cast<char>(last);
    }
    return 0;
}

}  // namespace fuzz
