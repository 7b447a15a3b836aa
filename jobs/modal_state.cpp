#include "jobs/modal_state.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kNoGroup = -1;

struct GroupRange {
    char letter;
    int first;
    int last;
    int group;
};

// G and M words name their group by number; F, S and T are groups themselves.
constexpr std::array<GroupRange, 7> kNumberedGroups = {{
    {'G', 0, 3, 0},    // motion
    {'G', 17, 19, 1},  // plane
    {'G', 20, 21, 2},  // units
    {'G', 90, 91, 3},  // distance
    {'G', 54, 59, 4},  // work offset
    {'M', 3, 5, 7},    // spindle
    {'M', 7, 9, 9},    // coolant
}};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The whole number after the letter, or -1 when it has anything else (G59.1).
int word_number(std::string_view digits) {
    if (digits.empty() || digits.size() > 4) return -1;
    int value = 0;
    for (char c : digits) {
        if (!is_digit(c)) return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

int group_of(std::string_view word) {
    const char letter = word[0];
    if (letter == 'F') return 5;
    if (letter == 'S') return 6;
    if (letter == 'T') return 8;
    const int number = word_number(word.substr(1));
    for (const GroupRange& range : kNumberedGroups) {
        if (range.letter == letter && number >= range.first && number <= range.last)
            return range.group;
    }
    return kNoGroup;
}

void end_word(ModalState& state) {
    const std::string_view word(state.word.data(), state.word_length);
    state.word_length = 0;
    if (word.size() < 2) return;  // a letter alone says nothing
    const int group = group_of(word);
    if (group == kNoGroup) return;
    auto& slot = state.last[static_cast<std::size_t>(group)];
    std::memcpy(slot.data(), word.data(), word.size());
    slot[word.size()] = '\0';
}

void end_line(ModalState& state) {
    end_word(state);
    state.in_comment = false;
    state.rest_ignored = false;
}

char upper_ascii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
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
    const bool number_part = is_digit(c) || c == '.' || c == '-' || c == '+';
    if (!number_part || state.word_length == 0) return end_word(state);
    if (state.word_length < kModalWordSize) state.word[state.word_length++] = c;
}

}  // namespace

void scan_modal_words(ModalState& state, std::string_view bytes) {
    for (char c : bytes)
        scan_byte(state, c);
}

void describe_modal_state(const ModalState& state, char* out, std::size_t size) {
    std::size_t used = 0;
    out[0] = '\0';
    for (const auto& word : state.last) {
        if (word[0] == '\0') continue;
        const int n =
            std::snprintf(out + used, size - used, "%s%s", used == 0 ? "" : " ", word.data());
        if (n < 0 || static_cast<std::size_t>(n) >= size - used) break;
        used += static_cast<std::size_t>(n);
    }
    if (used == 0) std::snprintf(out, size, "none");
}
