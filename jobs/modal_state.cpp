#include "jobs/modal_state.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr std::string_view kAxisLetters = "XYZABC";
constexpr std::size_t kZ = 2;
constexpr std::size_t kLinearAxes = 3;
constexpr double kMmPerInch = 25.4;
constexpr int kInchDecimals = 2;  // more, in inches, for as fine a step as in mm
constexpr int kMostDecimals = 9;  // of a computed position: sums stay clear of rounding noise

// How a line's axis words count. Where the program coordinates of the
// position cannot be told (home, machine coordinates, changed offsets), the
// axes become unknown rather than guessed.
enum Kind : int { kMove, kDwell, kHome, kMachine, kOffsets, kSetPosition };

// G and M codes in tenths; a range holds whole numbers only, unless `tenths`.
struct Code {
    char letter;
    int first;
    int last;
    Slot slot;
    bool tenths = false;
};

// The motion group holds more than is followed (see followed_motion): splines,
// threads, probing, other cycles.
constexpr std::array<Code, 20> kCodes = {{
    {'G', 0, 39, Slot::motion, true},
    {'G', 50, 69, Slot::motion, true},
    {'G', 330, 389, Slot::motion, true},
    {'G', 730, 899, Slot::motion, true},
    {'G', 170, 190, Slot::plane},
    {'G', 200, 210, Slot::units},
    {'G', 900, 910, Slot::distance},
    {'G', 901, 901, Slot::arc_centre, true},
    {'G', 911, 911, Slot::arc_centre, true},
    {'G', 540, 590, Slot::work_offset},
    {'G', 541, 541, Slot::work_offset, true},
    {'G', 591, 593, Slot::work_offset, true},
    {'G', 930, 950, Slot::feed_mode},
    {'G', 430, 440, Slot::length_offset},
    {'G', 490, 490, Slot::length_offset},
    {'G', 400, 420, Slot::compensation},
    {'G', 980, 990, Slot::cycle_return},
    {'M', 30, 50, Slot::spindle},
    {'M', 70, 90, Slot::coolant},
    {'M', 60, 60, Slot::count},  // the tool change: no slot of its own
}};

struct KindCode {
    int code;
    Kind kind;
};

constexpr std::array<KindCode, 10> kKinds = {{
    {40, kDwell},
    {100, kOffsets},
    {280, kHome},
    {300, kHome},
    {520, kOffsets},
    {530, kMachine},
    {920, kSetPosition},
    {921, kOffsets},
    {922, kOffsets},
    {923, kOffsets},
}};

// Letters that are a group of their own.
constexpr std::array<std::pair<char, Slot>, 5> kLetterSlots = {{
    {'F', Slot::feed},
    {'S', Slot::speed},
    {'T', Slot::tool},
    {'H', Slot::length_h},
    {'D', Slot::compensation_d},
}};

// Letters kept for the end of their line: a cycle's words and the P of G54.1.
// A cycle's L counts the repeats of its own line only: it is not kept.
struct LineLetter {
    char letter;
    ModalWord LineWords::*word;
    Slot cycle_slot;
};

constexpr std::array<LineLetter, 3> kLineLetters = {{
    {'R', &LineWords::r, Slot::cycle_r},
    {'Q', &LineWords::q, Slot::cycle_q},
    {'P', &LineWords::p, Slot::cycle_p},
}};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char upper_ascii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

ModalWord& slot_of(ModalState& state, Slot slot) {
    return state.slots[static_cast<std::size_t>(slot)];
}

const ModalWord& slot_of(const ModalState& state, Slot slot) {
    return state.slots[static_cast<std::size_t>(slot)];
}

void copy_word(ModalWord& to, std::string_view word) {
    std::memcpy(to.data(), word.data(), word.size());
    to[word.size()] = '\0';
}

// 1 and 01 give 10, 54.1 gives 541; -1 for anything else.
int code_of(std::string_view number) {
    const std::size_t point = number.find('.');
    const std::string_view whole = number.substr(0, point);
    const std::string_view tenth =
        point == std::string_view::npos ? std::string_view() : number.substr(point + 1);
    if (whole.empty() || whole.size() > 3 || tenth.size() > 1) return -1;
    int code = 0;
    for (char c : whole) {
        if (!is_digit(c)) return -1;
        code = code * 10 + (c - '0');
    }
    code *= 10;
    if (tenth.empty()) return code;
    return is_digit(tenth[0]) ? code + (tenth[0] - '0') : -1;
}

// The number after a word's letter, when all of it reads as one.
bool value_of(const char* word, double& value) {
    if (word[0] == '\0') return false;
    char* end = nullptr;
    value = std::strtod(word + 1, &end);
    return end != word + 1 && *end == '\0';
}

bool is_cycle(int code) {
    return code % 10 == 0 && (code == 730 || code == 760 || (code >= 810 && code <= 890));
}

// Where the moves of a motion word end is clear: G0 to G3, G80 (and cycles).
bool followed_motion(int code) {
    return code < 0 || (code <= 30 && code % 10 == 0) || code == 800;
}

// The axis a canned cycle drills along: Z in G17, Y in G18, X in G19.
std::size_t depth_axis(const ModalState& state) {
    const int plane = slot_code(state, Slot::plane);
    return plane == 180 ? 1 : plane == 190 ? 0 : kZ;
}

void forget_positions(ModalState& state) {
    for (AxisPosition& axis : state.axes)
        axis.known = false;
    state.cycle_start.known = false;
}

// Positions follow a change of units; from units not set before, they cannot.
void change_units(ModalState& state, int code) {
    const int before = slot_code(state, Slot::units);
    if (before == code) return;
    if (code == 200) state.decimals += kInchDecimals;
    auto convert = [&](AxisPosition& axis) {
        if (before < 0) axis.known = false;
        axis.value = code == 200 ? axis.value / kMmPerInch : axis.value * kMmPerInch;
        axis.word[0] = '\0';
    };
    for (std::size_t i = 0; i < kLinearAxes; ++i)
        convert(state.axes[i]);
    convert(state.cycle_start);
}

void before_change(ModalState& state, Slot slot, int code) {
    if (slot == Slot::units) change_units(state, code);
    if (slot == Slot::work_offset && (code != slot_code(state, slot) || code == 541))
        forget_positions(state);
    if (slot == Slot::length_offset) state.axes[kZ].known = false;
    if (slot == Slot::motion && !is_cycle(code)) {
        state.cycle_start.used = false;
        for (auto i = static_cast<std::size_t>(Slot::cycle_r); i < kSlots; ++i)
            state.slots[i][0] = '\0';
    }
}

// Mist and flood can both be on: M07 after M08, or M08 after M07, adds to it.
// Their words are short enough (code_of) for both to fit.
void take_coolant(ModalWord& slot, std::string_view word, int code) {
    const int before = slot[0] == '\0' ? 90 : code_of(slot.data() + 1);  // -1: both on
    if (code == 90 || before == 90 || before == code) return copy_word(slot, word);
    if (before < 0) return;
    ModalWord both;
    std::snprintf(both.data(), both.size(), "%s %.*s", slot.data(), static_cast<int>(word.size()),
                  word.data());
    slot = both;
}

void take_code(ModalState& state, char letter, std::string_view word) {
    const int code = code_of(word.substr(1));
    if (code < 0) return;
    if (letter == 'G') {
        for (const KindCode& kind : kKinds) {
            if (kind.code == code) state.current.kind = kind.kind;
        }
        if (code == 541) state.current.extra_offset = true;
    }
    for (const Code& entry : kCodes) {
        const bool in_range =
            code >= entry.first && code <= entry.last && (entry.tenths || code % 10 == 0);
        if (entry.letter != letter || !in_range) continue;
        if (entry.slot == Slot::count) {
            state.current.tool_change = true;
            return;
        }
        before_change(state, entry.slot, code);
        if (entry.slot == Slot::coolant)
            return take_coolant(slot_of(state, entry.slot), word, code);
        copy_word(slot_of(state, entry.slot), word);
        return;
    }
}

void take_word(ModalState& state, std::string_view word, bool cut, bool first) {
    const char letter = word[0];
    const std::size_t axis = kAxisLetters.find(letter);
    if (axis != std::string_view::npos)
        copy_word(state.current.axes[axis], cut ? word.substr(0, 1) : word);
    if (cut) return;  // its value is not all there
    if (letter == 'N' && first && word.find_first_not_of("0123456789", 1) == word.npos) {
        state.last_numbered_line = state.line;
        copy_word(state.last_number, word);
    }
    if (letter == 'G' || letter == 'M') take_code(state, letter, word);
    if (letter == 'I' || letter == 'J' || letter == 'K') state.current.centre = true;
    for (const auto& [slot_letter, slot] : kLetterSlots) {
        if (slot_letter == letter) copy_word(slot_of(state, slot), word);
    }
    for (const LineLetter& kept : kLineLetters) {
        if (kept.letter == letter) copy_word(state.current.*kept.word, word);
    }
}

void end_word(ModalState& state) {
    if (state.word_length == 0) return;
    const std::size_t held = std::exchange(state.word_length, 0);
    const std::size_t length = std::min(held, kModalWordSize);
    state.word[length] = '\0';
    const bool first = state.current.words++ == 0;
    if (length > 1) take_word(state, {state.word.data(), length}, held > length, first);
}

void move_axes(ModalState& state, const LineWords& line, bool absolute) {
    for (std::size_t i = 0; i < kAxes; ++i) {
        const ModalWord& word = line.axes[i];
        if (word[0] == '\0') continue;
        AxisPosition& axis = state.axes[i];
        axis.used = true;
        double value = 0;
        const char* point = std::strchr(word.data(), '.');
        if (!value_of(word.data(), value)) {
            axis.known = false;
        } else if (absolute) {
            axis = {true, true, value, word};
        } else {
            axis.value += value;  // from an unknown start it stays unknown
            axis.word[0] = '\0';
        }
        if (axis.known && point != nullptr)
            state.decimals = std::max(state.decimals, static_cast<int>(std::strlen(point + 1)));
    }
}

// The axes the line names move to places the program does not say.
void lose_axes(ModalState& state, const LineWords& line) {
    for (std::size_t i = 0; i < kAxes; ++i) {
        if (line.axes[i][0] != '\0') state.axes[i] = {true, false};
    }
}

bool names_axes(const LineWords& line, std::size_t axes) {
    return std::any_of(line.axes.begin(), line.axes.begin() + static_cast<std::ptrdiff_t>(axes),
                       [](const ModalWord& word) { return word[0] != '\0'; });
}

// A canned cycle drills along the plane's depth axis and ends at its R plane
// (G99) or where the run of cycles began (G98); only in absolute distance and
// a set plane is that clear. The depth is no position.
void run_cycle(ModalState& state, LineWords line) {
    const std::size_t depth = depth_axis(state);
    if (!state.cycle_start.used) state.cycle_start = state.axes[depth];
    state.cycle_start.used = true;
    line.axes[depth][0] = '\0';
    move_axes(state, line, true);
    AxisPosition& at = state.axes[depth];
    at = {true, false};
    if (slot_code(state, Slot::distance) != 900 || slot_code(state, Slot::plane) < 0)
        return forget_positions(state);
    const ModalWord& r_word = slot_of(state, Slot::cycle_r);
    double r = 0;
    if (!value_of(r_word.data(), r)) return;
    const AxisPosition at_r{true, true, r, r_word};
    const int back = slot_code(state, Slot::cycle_return);
    if (back == 990) at = at_r;
    if (back == 980 && state.cycle_start.known)
        at = state.cycle_start.value > r ? state.cycle_start : at_r;
}

void apply_axes(ModalState& state, const LineWords& line) {
    if (line.kind == kOffsets) return forget_positions(state);
    const bool any = names_axes(line, kAxes);
    if (line.kind == kHome && !any) return forget_positions(state);
    const int motion = slot_code(state, Slot::motion);
    // An arc with a centre and no end point is a full circle: it ends where it began.
    if (line.kind == kMove && line.centre && (motion == 20 || motion == 30) &&
        !names_axes(line, kLinearAxes))
        state.last_move_line = state.last_circle_line = state.line;
    if (!any || line.kind == kDwell) return;
    if (line.kind == kHome || line.kind == kMachine) return lose_axes(state, line);
    if (line.kind == kSetPosition) return move_axes(state, line, true);
    state.last_move_line = state.line;
    if (in_canned_cycle(state)) return run_cycle(state, line);
    // A program that never set G90 or G91 moves in the control's own mode.
    const int distance = slot_code(state, Slot::distance);
    if (distance < 0 || !followed_motion(motion)) return lose_axes(state, line);
    move_axes(state, line, distance == 900);
}

void end_line(ModalState& state) {
    end_word(state);
    LineWords& line = state.current;
    if (line.extra_offset) slot_of(state, Slot::work_offset_p) = line.p;
    if (line.kind == kMove && in_canned_cycle(state)) {
        for (const LineLetter& kept : kLineLetters) {
            if ((line.*kept.word)[0] != '\0') slot_of(state, kept.cycle_slot) = line.*kept.word;
        }
        // A cut word is its letter alone.
        const ModalWord& depth = line.axes[depth_axis(state)];
        if (depth[1] != '\0') slot_of(state, Slot::cycle_depth) = depth;
    }
    apply_axes(state, line);
    if (line.tool_change) {
        slot_of(state, Slot::tool_loaded) = slot_of(state, Slot::tool);
        state.tool_change_line = state.line;
        forget_positions(state);  // the changer moved the machine
    }
    state.current = LineWords{};
    state.place = ModalState::Place::start;
    ++state.line;
}

void scan_byte(ModalState& state, char c) {
    using Place = ModalState::Place;
    Place& place = state.place;
    if (c == '\n') return end_line(state);
    if (place == Place::start) place = c == ';' ? Place::skip : Place::words;
    if (place == Place::padding && c == '\r') {
        place = Place::padding_cr;  // padding only if the line feed follows
        return;
    }
    if (place == Place::padding_cr || (place == Place::padding && c != '\0')) {
        state.text_after_nul_line = state.line;
        place = Place::skip;
    }
    if (place == Place::padding || place == Place::skip) return;
    if (c == '\0') {
        end_word(state);
        place = Place::padding;
        return;
    }
    if (place == Place::comment && c == ')') place = Place::words;
    if (place != Place::words) return;
    if (c == ';' || c == '(') {
        end_word(state);
        place = c == ';' ? Place::rest : Place::comment;
        return;
    }
    if (is_letter(c)) {
        end_word(state);
        state.word[state.word_length++] = upper_ascii(c);
        return;
    }
    if (c == ' ' || c == '\t') return;  // G 1 X1 F 250
    const bool number_part = is_digit(c) || c == '.' || c == '-' || c == '+';
    if (!number_part || state.word_length == 0) return end_word(state);
    if (state.word_length < kModalWordSize) state.word[state.word_length] = c;
    state.word_length = std::min(state.word_length + 1, kModalWordSize + 1);
}

struct Text {
    char* out;
    std::size_t size;
    std::size_t used = 0;
};

void append(Text& text, const char* word) {
    if (word[0] == '\0') return;
    const int n = std::snprintf(text.out + text.used, text.size - text.used, "%s%s",
                                text.used == 0 ? "" : " ", word);
    if (n > 0) text.used = std::min(text.used + static_cast<std::size_t>(n), text.size - 1);
}

bool applies(const ModalState& state, Slot slot) {
    const int length = slot_code(state, Slot::length_offset);
    const int compensation = slot_code(state, Slot::compensation);
    if (slot == Slot::work_offset_p) return slot_code(state, Slot::work_offset) == 541;
    if (slot == Slot::length_h) return length == 430 || length == 440;
    if (slot == Slot::compensation_d) return compensation == 410 || compensation == 420;
    if (slot == Slot::cycle_return || slot >= Slot::cycle_r) return in_canned_cycle(state);
    return true;
}

// The tool loaded by the last M06, then a T prepared after it.
void append_tool(Text& text, const ModalState& state, Slot slot) {
    const ModalWord& loaded = slot_of(state, Slot::tool_loaded);
    const ModalWord& last = slot_of(state, Slot::tool);
    if (state.tool_change_line == 0) {
        if (slot == Slot::tool) append(text, last.data());
    } else if (slot == Slot::tool_loaded) {
        append(text, loaded.data());
        append(text, "M06");
    } else if (loaded != last) {
        append(text, last.data());
    }
}

}  // namespace

void scan_modal_words(ModalState& state, std::string_view bytes) {
    for (char c : bytes)
        scan_byte(state, c);
}

int slot_code(const ModalState& state, Slot slot) {
    const ModalWord& word = slot_of(state, slot);
    return word[0] == '\0' ? -1 : code_of(std::string_view(word.data() + 1));
}

bool in_canned_cycle(const ModalState& state) {
    return is_cycle(slot_code(state, Slot::motion));
}

void describe_modal_state(const ModalState& state, char* out, std::size_t size) {
    Text text{out, size};
    out[0] = '\0';
    for (std::size_t i = 0; i < kSlots; ++i) {
        const auto slot = static_cast<Slot>(i);
        if (slot == Slot::tool_loaded || slot == Slot::tool) {
            append_tool(text, state, slot);
        } else if (applies(state, slot)) {
            append(text, state.slots[i].data());
        }
    }
    if (text.used == 0) std::snprintf(out, size, "none");
}

void describe_position(const ModalState& state, char* out, std::size_t size) {
    Text text{out, size};
    out[0] = '\0';
    for (std::size_t i = 0; i < kAxes; ++i) {
        const AxisPosition& axis = state.axes[i];
        if (!axis.used) continue;
        std::array<char, 48> shown;
        const int decimals = std::min(state.decimals, kMostDecimals);
        // Sums of absurd words could outgrow what is shown.
        if (!axis.known || !(std::fabs(axis.value) < 1e15)) {
            std::snprintf(shown.data(), shown.size(), "%c unknown", kAxisLetters[i]);
        } else if (axis.word[0] != '\0') {
            std::snprintf(shown.data(), shown.size(), "%c%s", kAxisLetters[i],
                          axis.word.data() + 1);
        } else {
            // Computed: to the program's decimals, without trailing zeros: X12.5, X-3, not X-0.
            int n = std::snprintf(shown.data(), shown.size(), "%c%.*f", kAxisLetters[i], decimals,
                                  axis.value);
            n = std::clamp(n, 1, static_cast<int>(shown.size()) - 1);
            while (decimals > 0 && shown[n - 1] == '0')
                --n;
            if (shown[n - 1] == '.') --n;
            shown[n] = '\0';
            if (std::strcmp(shown.data() + 1, "-0") == 0) std::memmove(&shown[1], "0", 2);
        }
        append(text, shown.data());
    }
}
