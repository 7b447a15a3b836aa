#include "control/console_lines.h"

#include <string_view>

void discard_rest_of_line() {
    int c;
    do {
        c = console_get();
    } while (c != kConsoleEnd && !is_line_end(c));
}

RestOfLine read_rest_of_line(std::span<char> room, std::size_t& length) {
    length = 0;
    for (;;) {
        int c = console_get();
        if (c == kConsoleEnd) return RestOfLine::input_ended;
        if (length == room.size()) {
            if (!is_line_end(c)) discard_rest_of_line();
            return RestOfLine::too_long;
        }
        room[length++] = static_cast<char>(c);
        if (is_line_end(c)) return RestOfLine::complete;
    }
}

void hold_rest_of_line(HeldLines& held, Hold hold) {
    std::size_t start = held.length;
    bool fits = true;
    while (hold == Hold::whole_line || console_buffered()) {
        int c = console_get();
        if (c == kConsoleEnd) break;
        if (held.length < held.text.size()) {
            held.text[held.length++] = static_cast<char>(c);
        } else {
            fits = false;
        }
        if (c == '\n') break;
    }
    if (!fits) held.length = start;
}

void release_held_lines(const HeldLines& held) {
    console_unget(std::string_view(held.text.data(), held.length));
}
