// G-code lines typed at the console and sent to the controller at once.
#include "jobs/typed_line.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "control/settings.h"
#include "link/link.h"
#include "platform/console_lines.h"

namespace {

constexpr std::size_t kLineSize = 256;  // 255 characters and the terminator
constexpr std::string_view kLineNumber = "n1 ";

// No G-code line holds a control character but the tab. One typed in a
// terminal (an arrow key's ESC [ D) would make the controller get other bytes
// than the screen shows. Bytes 0x80 to 0xFF pass.
bool has_control_character(std::string_view text) {
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) return true;
    }
    return false;
}

}  // namespace

void send_typed_line(std::string_view token, bool numbered) {
    std::array<char, kLineSize> line{};
    std::size_t length = 0;
    auto append = [&](std::string_view part) {
        std::memcpy(line.data() + length, part.data(), part.size());
        length += part.size();
    };
    if (numbered) append(kLineNumber);
    append(token);  // a token has at most 199 characters, so both fit

    std::size_t rest_length = 0;
    // One place is kept for the terminator, as the controller's line buffer has.
    std::span<char> room(line.data() + length, kLineSize - 1 - length);
    RestOfLine result = read_rest_of_line(room, rest_length);
    if (result == RestOfLine::input_ended) return;  // nothing half-typed is sent
    if (result == RestOfLine::too_long) {
        std::printf("G Code line too long - not sent (%zu characters at most)\n", kLineSize - 1);
        return;
    }
    length += rest_length;
    if (has_control_character({line.data(), length - 1})) {  // all but the line end
        std::printf("G Code line contains control characters - not sent\n");
        return;
    }
    if (ensure_link())
        send_and_await({line.data(), length}, settings.prompt_char, static_cast<int>(length));
}
