// The modal state that G-code lines leave: the last word of each modal group,
// the tool loaded, the canned cycle and the last programmed position of each
// axis, for the operator to restore before a download resumes mid-file.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

inline constexpr std::size_t kModalWordSize = 16;  // a longer word is not taken
using ModalWord = std::array<char, kModalWordSize + 1>;

// Where each word is kept, in the order a machinist restores them.
enum class Slot : unsigned char {
    units,
    plane,
    distance,
    arc_centre,
    work_offset,
    work_offset_p,  // the P of G54.1
    feed_mode,
    feed,
    tool_loaded,  // the T in effect at the last M06
    tool,         // the last T
    length_offset,
    length_h,
    speed,
    spindle,
    coolant,
    compensation,
    compensation_d,
    cycle_return,
    motion,
    cycle_r,
    cycle_q,
    cycle_p,
    cycle_z,
    cycle_l,
    count
};
inline constexpr std::size_t kSlots = static_cast<std::size_t>(Slot::count);
inline constexpr std::size_t kAxes = 6;  // X Y Z A B C

struct AxisPosition {
    bool used = false;   // programmed at all: shown
    bool known = false;  // false: depends on where the program started
    double value = 0;
};

// What the line being scanned holds; applied at its end, whatever the order of
// its words.
struct LineWords {
    std::array<bool, kAxes> named{};
    std::array<bool, kAxes> readable{};
    std::array<double, kAxes> value{};
    ModalWord p{}, r{}, q{}, z{}, l{};
    int kind = 0;               // how its axis words count: a move, or see modal_state.cpp
    bool extra_offset = false;  // G54.1: its P names the offset
    bool tool_change = false;   // M06
    int words = 0;
};

struct ModalState {
    std::array<ModalWord, kSlots> slots{};  // empty: not seen
    std::array<AxisPosition, kAxes> axes{};
    AxisPosition cycle_start_z;  // where a run of canned cycles began, for G98
    bool cycle_running = false;
    long line = 1;                // the file line being scanned
    long tool_change_line = 0;    // of the last M06; 0: none
    long last_move_line = 0;      // the last line with a move
    long last_numbered_line = 0;  // the last line whose first word is an N number
    ModalWord last_number{};
    LineWords current;
    // Where the scan stands in the bytes fed so far.
    ModalWord word{};
    std::size_t word_length = 0;
    bool word_cut = false;
    bool in_comment = false;    // inside parentheses
    bool rest_ignored = false;  // after ';' or a NUL, up to the line's end
};

// Scans file bytes, any number at a time, line ends included: lines starting
// with ';' leave nothing; words in parentheses and after a ';' are comments;
// letters count in either case and blanks may stand inside a word (G 1).
void scan_modal_words(ModalState& state, std::string_view bytes);
// The G or M code of a slot in tenths (G54.1 is 541), or -1 when not set.
int slot_code(const ModalState& state, Slot slot);
bool in_canned_cycle(const ModalState& state);
// The words, in slot order and separated by blanks ("none" when none); a word
// that does not apply (the H of G49, a cycle's words outside it) is left out.
void describe_modal_state(const ModalState& state, char* out, std::size_t size);
// The axes programmed, each with its position or "unknown" ("X12.5 Y-3 Z
// unknown"); empty when none was.
void describe_position(const ModalState& state, char* out, std::size_t size);
