// Console input on any bytes: words are taken as commands one after another,
// as the console loop does. A g or n word sends its typed line whole, exactly
// as typed with its line end, or nothing at all; the i word sends the query;
// no other command puts a byte on the line. The controller here echoes every
// typed line and answers "ok", and all of that must be read and nothing more.
//
// Words starting with e (leave the program), f (download a named file) and
// v (key mode) are skipped: their own targets or tests cover them.
#include <cstdint>
#include <string>
#include <string_view>

#include "control/commands.h"
#include "control/settings.h"
#include "control/text.h"
#include "control/word.h"
#include "fuzz/fuzz_support.h"
#include "platform/console.h"
#include "tests/fakes/fake_platform.h"

namespace {

constexpr std::size_t kLineLimit = 255;  // characters of a typed line, line end included
constexpr std::string_view kAnswer = "ok\n-";

struct ConsoleSource {
    int peek() { return console_peek(); }
    int get() { return console_get(); }
};

// Where the typed line ends in the console input: just past its first line
// end, or npos when the input ends first.
std::size_t line_end_after(const std::string& console, std::size_t pos) {
    std::size_t end = console.find_first_of("\r\n", pos);
    return end == std::string::npos ? end : end + 1;
}

void discard_line() {
    for (int c = console_get(); c != kConsoleEnd && c != '\n'; c = console_get()) {
    }
}

void typed_line(const Word<kTokenSize>& token, bool numbered) {
    fake::State& state = fake::state;
    const std::size_t sent_before = state.sent.size();
    const std::size_t end = line_end_after(state.console, state.console_pos);
    std::string line;
    std::size_t expected_pos = state.console.size();
    if (end != std::string::npos) {
        line = std::string(numbered ? "n1 " : "") + std::string(token.view()) +
               state.console.substr(state.console_pos, end - state.console_pos);
        // A line too long to send is still read to its line end.
        expected_pos = line_end_after(state.console, state.console_pos);
        if (line.size() > kLineLimit) line.clear();
    }
    if (!line.empty()) fake::controller_sends(line + std::string(kAnswer));

    fuzz::Capture capture;
    fuzz::begin(capture);
    run_command(token.view());
    std::string shown = fuzz::end(capture);

    fuzz::check(state.sent.substr(sent_before) == line, "typed line sent whole or not at all");
    fuzz::check(state.console_pos == expected_pos, "console read to the typed line's end");
    fuzz::check(state.incoming.empty(), "echo and answer read up to the prompt");
    if (!line.empty()) {
        std::string expected = line + (settings.output_mode == 'n' ? std::string(kAnswer) : "");
        fuzz::check(shown == expected, "echo and answer shown");
    }
}

void other_command(const Word<kTokenSize>& token) {
    fake::State& state = fake::state;
    const std::size_t sent_before = state.sent.size();
    fuzz::Capture capture;
    fuzz::begin(capture);
    int result = run_command(token.view());
    fuzz::end(capture);
    bool query = lower_ascii(token.text[0]) == 'i';
    fuzz::check(result == (query ? 2 : 1), "prompt after every command but the query");
    fuzz::check(state.sent.substr(sent_before) == (query ? "v" : ""), "only the query sends");
    fuzz::check(settings.rate_code >= 3 && settings.rate_code <= 9, "rate code selectable");
    fuzz::check(settings.port_number >= 0 && settings.port_number <= 12, "port COM1..COM13");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::reset();
    settings = Settings{};
    fake::state.console.assign(reinterpret_cast<const char*>(data), size);
    ConsoleSource console;
    for (;;) {
        Word<kTokenSize> token = read_word<kTokenSize>(console);
        if (token.ended) break;
        if (token.too_long) {
            discard_line();
            continue;
        }
        char first = lower_ascii(token.text[0]);
        if (first == 'e' || first == 'f' || first == 'v') continue;
        if (first == 'g' || first == 'n') {
            typed_line(token, first == 'g');
        } else {
            other_command(token);
        }
    }
    return 0;
}
