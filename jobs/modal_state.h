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
    coolant,  // M07 and M08 together when both are on
    compensation,
    compensation_d,
    cycle_return,
    motion,
    cycle_r,
    cycle_q,
    cycle_p,
    cycle_depth,  // Z in G17, Y in G18, X in G19
    count
};
inline constexpr std::size_t kSlots = static_cast<std::size_t>(Slot::count);
inline constexpr std::size_t kAxes = 6;  // X Y Z A B C

struct AxisPosition {
    bool used = false;   // programmed at all: shown
    bool known = false;  // false: depends on where the program started
    double value = 0;
    ModalWord word{};  // the word that set it; empty when computed
};

// What the line being scanned holds, applied at its end.
struct LineWords {
    std::array<ModalWord, kAxes> axes{};  // each axis word; its letter alone when cut
    ModalWord p{}, r{}, q{};
    int kind = 0;               // how its axis words count: a move, or see modal_state.cpp
    bool centre = false;        // I, J or K: an arc's centre
    bool extra_offset = false;  // G54.1: its P names the offset
    bool tool_change = false;   // M06
    int words = 0;
};

struct ModalState {
    std::array<ModalWord, kSlots> slots{};  // empty: not seen
    std::array<AxisPosition, kAxes> axes{};
    AxisPosition cycle_start;      // where a run of canned cycles began, for G98; unused: none runs
    int decimals = 0;              // the most a position word had, for positions computed
    long line = 1;                 // the file line being scanned
    long tool_change_line = 0;     // of the last M06; 0: none
    long last_move_line = 0;       // the last line with a move
    long last_circle_line = 0;     // the last full circle: an arc with no X, Y or Z
    long last_numbered_line = 0;   // the last whose first word is N and digits
    long text_after_nul_line = 0;  // the last line whose text goes on after a NUL
    ModalWord last_number{};
    LineWords current;
    // Where the scan stands in the bytes fed so far.
    ModalWord word{};
    std::size_t word_length = 0;  // past kModalWordSize: cut
    enum class Place : unsigned char { start, words, comment, rest, padding, padding_cr, skip };
    Place place = Place::start;
};

// Scans file bytes, any number at a time, line ends included, as a download
// takes them: lines starting with ';' leave nothing, a NUL ends a line's text
// (NULs and a last carriage return after it pad it), words in parentheses and
// after a ';' are comments; either case counts and blanks may split a word (G 1).
void scan_modal_words(ModalState& state, std::string_view bytes);
// The G or M code of a slot in tenths (G54.1 is 541), or -1 when not set.
int slot_code(const ModalState& state, Slot slot);
bool in_canned_cycle(const ModalState& state);
// The words, in slot order and separated by blanks ("none" when none); a word
// that does not apply (the H of G49, a cycle's words outside it) is left out.
void describe_modal_state(const ModalState& state, char* out, std::size_t size);
// The axes programmed, each as the program wrote it, to its decimals where
// computed, or "unknown" ("X12.5 Y-3 Z unknown"); empty when none was.
void describe_position(const ModalState& state, char* out, std::size_t size);
