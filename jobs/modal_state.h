// The modal state that skipped G-code lines leave: the last word seen in each
// modal group, for the operator to check before a download resumes mid-file.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

inline constexpr std::size_t kModalGroups = 10;
inline constexpr std::size_t kModalWordSize = 16;  // longer words are cut to this

struct ModalState {
    // Per group, in the order shown: motion, plane, units, distance, work
    // offset, feed, spindle speed, spindle, tool, coolant. Empty: not seen.
    std::array<std::array<char, kModalWordSize + 1>, kModalGroups> last{};
    // Where the scan stands in the bytes fed so far.
    std::array<char, kModalWordSize + 1> word{};
    std::size_t word_length = 0;
    bool in_comment = false;    // inside parentheses
    bool rest_ignored = false;  // after ';' or a NUL, up to the line's end
};

// Scans file bytes, any number at a time, as the download reads them: lines
// starting with ';' are not sent and leave nothing; words in parentheses and
// after a ';' are comments.
void scan_modal_words(ModalState& state, std::string_view bytes);
// The words seen, in group order and separated by blanks ("none" when none),
// as far as they fit in `out`.
void describe_modal_state(const ModalState& state, char* out, std::size_t size);
