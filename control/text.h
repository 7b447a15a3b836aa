// Small text helpers shared by the command tables and the configuration file.
#pragma once

#include <string_view>

constexpr char lower_ascii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

constexpr bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
    }
    return true;
}

// An ASCII letter or digit: what the controller's words are made of.
constexpr bool is_letter_or_digit(int c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A C0 control character or DEL: a byte that acts on a terminal or ends a
// line early rather than showing.
constexpr bool is_control_byte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// True when `text` begins with `prefix`, ignoring case.
constexpr bool starts_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}

// A line feed or a carriage return: either ends a line, of the console or of
// the configuration file.
constexpr bool is_line_end(int c) {
    return c == '\n' || c == '\r';
}

// The white space that separates words: space, tab, line feed, carriage
// return, vertical tab, form feed.
constexpr bool is_blank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
