// G-code lines typed at the console and sent to the controller at once.
#include <array>
#include <cstdio>
#include <cstring>

#include "control/settings.h"
#include "jobs/jobs.h"
#include "link/link.h"
#include "platform/console.h"

namespace {

constexpr std::size_t kLineSize = 256;  // 255 characters and the terminator
constexpr std::string_view kLineNumber = "n1 ";

bool is_line_end(int c) {
    return c == '\n' || c == '\r';
}

}  // namespace

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
    if (!ensure_link() || !send_text({line.data(), length})) return;
    await_prompt(settings.prompt_char, static_cast<int>(length));
}
