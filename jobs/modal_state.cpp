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

// How a line's axis words count. Where the program coordinates of the
// position cannot be told (home, machine coordinates, changed offsets), the
// axes become unknown rather than guessed.
enum Kind : int { kMove, kDwell, kHome, kMachine, kOffsets, kSetPosition };

// G and M codes in tenths; a range holds whole numbers only.
struct Code {
    char letter;
    int first;
    int last;
    Slot slot;
};

constexpr std::array<Code, 22> kCodes = {{
    {'G', 0, 30, Slot::motion},
    {'G', 730, 730, Slot::motion},
    {'G', 760, 760, Slot::motion},
    {'G', 800, 890, Slot::motion},
    {'G', 170, 190, Slot::plane},
    {'G', 200, 210, Slot::units},
    {'G', 900, 910, Slot::distance},
    {'G', 901, 901, Slot::arc_centre},
    {'G', 911, 911, Slot::arc_centre},
    {'G', 540, 590, Slot::work_offset},
    {'G', 541, 541, Slot::work_offset},
    {'G', 591, 591, Slot::work_offset},
    {'G', 592, 592, Slot::work_offset},
    {'G', 593, 593, Slot::work_offset},
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

// Letters kept for the end of their line: the P of G54.1 and a cycle's words.
constexpr std::array<std::pair<char, ModalWord LineWords::*>, 5> kLineLetters = {{
    {'P', &LineWords::p},
    {'R', &LineWords::r},
    {'Q', &LineWords::q},
    {'Z', &LineWords::z},
    {'L', &LineWords::l},
}};

constexpr std::array<std::pair<Slot, ModalWord LineWords::*>, 5> kCycleWords = {{
    {Slot::cycle_r, &LineWords::r},
    {Slot::cycle_q, &LineWords::q},
    {Slot::cycle_p, &LineWords::p},
    {Slot::cycle_z, &LineWords::z},
    {Slot::cycle_l, &LineWords::l},
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
    return code == 730 || code == 760 || (code >= 810 && code <= 890);
}

void forget_positions(ModalState& state) {
    for (AxisPosition& axis : state.axes)
        axis.known = false;
    state.cycle_start_z.known = false;
}

// Positions follow a change of units; from units not set before, they cannot.
void change_units(ModalState& state, int code) {
    const int before = slot_code(state, Slot::units);
    if (before == code) return;
    auto convert = [&](AxisPosition& axis) {
        if (before < 0) axis.known = false;
        axis.value = code == 200 ? axis.value / kMmPerInch : axis.value * kMmPerInch;
    };
    for (std::size_t i = 0; i < kLinearAxes; ++i)
        convert(state.axes[i]);
    convert(state.cycle_start_z);
}

void before_change(ModalState& state, Slot slot, int code) {
    if (slot == Slot::units) change_units(state, code);
    if (slot == Slot::work_offset && (code != slot_code(state, slot) || code == 541))
        forget_positions(state);
    if (slot == Slot::length_offset) state.axes[kZ].known = false;
    if (slot == Slot::motion && !is_cycle(code)) {
        state.cycle_running = false;
        for (const auto& [cycle_slot, word] : kCycleWords)
            slot_of(state, cycle_slot)[0] = '\0';
    }
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
        const bool in_range = code >= entry.first && code <= entry.last &&
                              (entry.first == entry.last || code % 10 == 0);
        if (entry.letter != letter || !in_range) continue;
        if (entry.slot == Slot::count) {
            state.current.tool_change = true;
            return;
        }
        before_change(state, entry.slot, code);
        copy_word(slot_of(state, entry.slot), word);
        return;
    }
}

void take_axis(ModalState& state, std::size_t axis, bool cut) {
    LineWords& line = state.current;
    line.named[axis] = true;
    line.readable[axis] = !cut && value_of(state.word.data(), line.value[axis]);
}

void take_word(ModalState& state, std::string_view word, bool cut, bool first) {
    const char letter = word[0];
    if (letter == 'N' && first && !cut) {
        state.last_numbered_line = state.line;
        copy_word(state.last_number, word);
    }
    const std::size_t axis = kAxisLetters.find(letter);
    if (axis != std::string_view::npos) take_axis(state, axis, cut);
    if (cut) return;  // its value is not all there
    if (letter == 'G' || letter == 'M') take_code(state, letter, word);
    for (const auto& [slot_letter, slot] : kLetterSlots) {
        if (slot_letter == letter) copy_word(slot_of(state, slot), word);
    }
    for (const auto& [line_letter, member] : kLineLetters) {
        if (line_letter == letter) copy_word(state.current.*member, word);
    }
}

void end_word(ModalState& state) {
    if (state.word_length == 0) return;
    const std::size_t length = std::exchange(state.word_length, 0);
    const bool cut = std::exchange(state.word_cut, false);
    state.word[length] = '\0';
    const bool first = state.current.words++ == 0;
    if (length > 1) take_word(state, {state.word.data(), length}, cut, first);
}

void move_axes(ModalState& state, const LineWords& line, bool absolute) {
    for (std::size_t i = 0; i < kAxes; ++i) {
        if (!line.named[i]) continue;
        AxisPosition& axis = state.axes[i];
        axis.used = true;
        if (!line.readable[i]) {
            axis.known = false;
        } else if (absolute) {
            axis.known = true;
            axis.value = line.value[i];
        } else {
            axis.value += line.value[i];  // from an unknown start it stays unknown
        }
    }
}

// The axes the line names move to places the program does not say.
void lose_axes(ModalState& state, LineWords line) {
    line.readable = {};
    move_axes(state, line, true);
}

// A canned cycle ends at its R plane (G99) or where the run of cycles began
// (G98); only in G17 absolute is that clear. The depth is no position.
void run_cycle(ModalState& state, LineWords line) {
    if (!state.cycle_running) state.cycle_start_z = state.axes[kZ];
    state.cycle_running = true;
    const bool clear =
        slot_code(state, Slot::distance) == 900 && slot_code(state, Slot::plane) == 170;
    line.named[kZ] = false;
    if (!clear) line.readable = {};
    move_axes(state, line, true);
    AxisPosition& z = state.axes[kZ];
    z = {true, false, 0};
    if (!clear) return forget_positions(state);
    double r = 0;
    if (!value_of(slot_of(state, Slot::cycle_r).data(), r)) return;
    const int back = slot_code(state, Slot::cycle_return);
    if (back == 990) z = {true, true, r};
    if (back == 980 && state.cycle_start_z.known)
        z = {true, true, std::max(state.cycle_start_z.value, r)};
}

void apply_axes(ModalState& state, const LineWords& line) {
    if (line.kind == kOffsets) return forget_positions(state);
    const bool any = std::find(line.named.begin(), line.named.end(), true) != line.named.end();
    if (line.kind == kHome && !any) return forget_positions(state);
    if (!any || line.kind == kDwell) return;
    if (line.kind == kHome || line.kind == kMachine) {
        return lose_axes(state, line);
    }
    if (line.kind == kSetPosition) return move_axes(state, line, true);
    state.last_move_line = state.line;
    if (in_canned_cycle(state)) return run_cycle(state, line);
    // A program that never set G90 or G91 moves in the control's own mode.
    const int distance = slot_code(state, Slot::distance);
    if (distance < 0) {
        return lose_axes(state, line);
    }
    move_axes(state, line, distance == 900);
}

void end_line(ModalState& state) {
    end_word(state);
    LineWords& line = state.current;
    if (line.extra_offset) slot_of(state, Slot::work_offset_p) = line.p;
    if (line.kind == kMove && in_canned_cycle(state)) {
        for (const auto& [slot, member] : kCycleWords) {
            if ((line.*member)[0] != '\0') slot_of(state, slot) = line.*member;
        }
    }
    apply_axes(state, line);
    if (line.tool_change) {
        slot_of(state, Slot::tool_loaded) = slot_of(state, Slot::tool);
        state.tool_change_line = state.line;
        forget_positions(state);  // the changer moved the machine
    }
    state.current = LineWords{};
    state.in_comment = false;
    state.rest_ignored = false;
    ++state.line;
}

void scan_byte(ModalState& state, char c) {
    if (c == '\n') return end_line(state);
    if (state.rest_ignored) return;
    if (state.in_comment) {
        state.in_comment = c != ')';
        return;
    }
    if (c == ';' || c == '\0' || c == '(') {
        end_word(state);
        state.rest_ignored = c != '(';  // a NUL ends what is sent of the line
        state.in_comment = c == '(';
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
    if (state.word_length < kModalWordSize) {
        state.word[state.word_length++] = c;
    } else {
        state.word_cut = true;
    }
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
    switch (slot) {
        case Slot::work_offset_p:
            return slot_code(state, Slot::work_offset) == 541;
        case Slot::length_h:
            return length == 430 || length == 440;
        case Slot::compensation_d:
            return compensation == 410 || compensation == 420;
        case Slot::cycle_return:
        case Slot::cycle_r:
        case Slot::cycle_q:
        case Slot::cycle_p:
        case Slot::cycle_z:
        case Slot::cycle_l:
            return in_canned_cycle(state);
        default:
            return true;
    }
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
        // Sums of absurd words could outgrow what is shown.
        if (!axis.known || !(std::fabs(axis.value) < 1e15)) {
            std::snprintf(shown.data(), shown.size(), "%c unknown", kAxisLetters[i]);
        } else {
            // Four places, without trailing zeros: X12.5, X-3, not X-0.
            int n =
                std::snprintf(shown.data(), shown.size(), "%c%.4f", kAxisLetters[i], axis.value);
            n = std::clamp(n, 1, static_cast<int>(shown.size()) - 1);
            while (shown[n - 1] == '0')
                --n;
            if (shown[n - 1] == '.') --n;
            shown[n] = '\0';
            if (std::strcmp(shown.data() + 1, "-0") == 0) std::memmove(&shown[1], "0", 2);
        }
        append(text, shown.data());
    }
}
