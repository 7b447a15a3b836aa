// Looks through what the controller answers, or sends unasked, for the stop
// words of settings: whole words of letters and digits, matched case-blind.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "control/settings.h"

// Of the line that holds a stop word, the bytes kept for the message.
inline constexpr std::size_t kStopLineSize = 64;

struct StopWordScan {
    std::array<char, kStopWordSize> word;  // the word being read, lower-cased
    std::size_t word_length = 0;           // kStopWordSize: longer than any stop word
    std::array<char, kStopLineSize> line;  // the line being read, as it came
    std::size_t line_length = 0;
    bool line_cut = false;   // it went on past what is kept
    bool found = false;      // a stop word came; `line` holds its line
    bool line_done = false;  // that line has ended
};

// Starts on a new answer.
void scan_begin(StopWordScan& scan);
void scan_byte(StopWordScan& scan, int byte);
// The answer has ended: a word at its very end counts too.
void scan_end(StopWordScan& scan);
// The line that holds the stop word, from its last line break on.
inline std::string_view stop_line(const StopWordScan& scan) {
    return {scan.line.data(), scan.line_length};
}
