// G-code lines typed at the console and sent to the controller at once.
#include "jobs/typed_line.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <span>

#include "control/console_lines.h"
#include "control/settings.h"
#include "control/text.h"
#include "link/link.h"

namespace {

constexpr std::size_t kLineSize = 256;  // 255 characters and the terminator
constexpr std::string_view kLineNumber = "n1 ";

// No G-code line holds a control character but the tab. One typed in a
// terminal (an arrow key's ESC [ D) would make the controller get other bytes
// than the screen shows. Bytes 0x80 to 0xFF pass.
bool has_control_character(std::string_view text) {
    for (char c : text) {
        if (is_control_byte(c) && c != '\t') return true;
    }
    return false;
}

// A line being put together; one place is kept for the terminator, as the
// controller's line buffer has.
struct Line {
    std::array<char, kLineSize> text{};
    std::size_t length = 0;

    std::span<char> room() { return {text.data() + length, kLineSize - 1 - length}; }
    bool append(std::string_view part) {
        if (part.size() > room().size()) return false;
        std::memcpy(text.data() + length, part.data(), part.size());
        length += part.size();
        return true;
    }
    std::string_view view() const { return {text.data(), length}; }
};

bool refuse_too_long() {
    std::printf("G Code line too long - not sent (%zu characters at most)\n", kLineSize - 1);
    return false;
}

// Checks the finished line, its line end included, and sends it. What the
// controller sent after the prompt shows before the console goes on.
bool send_checked(const Line& line) {
    if (has_control_character(line.view().substr(0, line.length - 1))) {
        std::printf("G Code line contains control characters - not sent\n");
        return false;
    }
    return ensure_link() &&
           send_and_await(line.view(), settings.prompt_char, static_cast<int>(line.length)) &&
           !show_arrived_text();
}

}  // namespace

bool send_typed_line(std::string_view token, bool numbered) {
    Line line;
    if (numbered) line.append(kLineNumber);
    line.append(token);  // a token has at most 199 characters, so both fit

    std::size_t rest_length = 0;
    RestOfLine result = read_rest_of_line(line.room(), rest_length);
    if (result == RestOfLine::input_ended) return false;  // nothing half-typed is sent
    if (result == RestOfLine::too_long) return refuse_too_long();
    line.length += rest_length;
    return send_checked(line);
}

bool send_given_line(std::string_view given, bool numbered) {
    Line line;
    if (numbered) line.append(kLineNumber);
    if (!line.append(given) || !line.append("\n")) return refuse_too_long();
    return send_checked(line);
}
