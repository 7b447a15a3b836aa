// Console input on any bytes, through the program's own console loop. A g or n
// word sends its typed line whole, exactly as typed with its line end, or
// nothing at all (too long, or holding a control character other than tab);
// the i word sends the query; no other command puts a byte on the line. The
// controller here echoes every typed line and answers "ok", and all of that
// must be read and nothing more.
//
// Words starting with e (leave the program), f (download a named file) and
// v (key mode) are not run: their own targets or tests cover them.
#include <cstdint>
#include <string>
#include <string_view>

#include "control/commands.h"
#include "control/settings.h"
#include "control/text.h"
#include "fuzz/fuzz_support.h"
#include "platform/console.h"
#include "tests/fakes/fake_platform.h"

namespace {

constexpr std::size_t kLineLimit = 255;  // characters of a typed line, line end included
constexpr std::string_view kAnswer = "ok\n-";

// Where the typed line ends in the console input: just past its first line
// end, or npos when the input ends first.
std::size_t line_end_after(const std::string& console, std::size_t pos) {
    std::size_t end = console.find_first_of("\r\n", pos);
    return end == std::string::npos ? end : end + 1;
}

// True when the line holds a control character, its line end aside, but the tab.
bool has_control_character(const std::string& line) {
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
    }
    return false;
}

void typed_line(std::string_view token, bool numbered) {
    fake::State& state = fake::state;
    const std::size_t sent_before = state.sent.size();
    const std::size_t end = line_end_after(state.console, state.console_pos);
    std::string line;
    std::size_t expected_pos = state.console.size();
    if (end != std::string::npos) {
        line = std::string(numbered ? "n1 " : "") + std::string(token) +
               state.console.substr(state.console_pos, end - state.console_pos);
        // A line too long to send is still read to its line end.
        expected_pos = line_end_after(state.console, state.console_pos);
        if (line.size() > kLineLimit || has_control_character(line)) line.clear();
    }
    if (!line.empty()) fake::controller_sends(line + std::string(kAnswer));

    fuzz::Capture capture;
    fuzz::begin(capture);
    run_command(token);
    std::string shown = fuzz::end(capture);

    fuzz::check(state.sent.substr(sent_before) == line, "typed line sent whole or not at all");
    fuzz::check(state.console_pos == expected_pos, "console read to the typed line's end");
    fuzz::check(state.incoming.empty(), "echo and answer read up to the prompt");
    if (!line.empty()) {
        std::string expected = line + (settings.output_mode == 'n' ? std::string(kAnswer) : "");
        fuzz::check(shown == expected, "echo and answer shown");
    }
}

int other_command(std::string_view token) {
    fake::State& state = fake::state;
    const std::size_t sent_before = state.sent.size();
    fuzz::Capture capture;
    fuzz::begin(capture);
    int result = run_command(token);
    fuzz::end(capture);
    bool query = lower_ascii(token[0]) == 'i';
    // The controller here never answers the query: its time-out brings the prompt back.
    fuzz::check(result == 1, "prompt after every command");
    fuzz::check(state.sent.substr(sent_before) == (query ? "v" : ""), "only the query sends");
    fuzz::check(settings.rate_code >= 3 && settings.rate_code <= 9, "rate code selectable");
    fuzz::check(settings.port_number >= 0 && settings.port_number <= 12, "port COM1..COM13");
    return result;
}

// Each word as the console loop hands it over, checked against the model.
int checked_command(std::string_view token) {
    char first = lower_ascii(token[0]);
    if (first == 'e' || first == 'f' || first == 'v') return 1;
    if (first == 'g' || first == 'n') {
        typed_line(token, first == 'g');
        return 1;
    }
    return other_command(token);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::reset();
    settings = Settings{};
    fake::state.console.assign(reinterpret_cast<const char*>(data), size);
    fuzz::Capture capture;  // the loop's own prompts and messages
    fuzz::begin(capture);
    while (run_console_word(checked_command)) {
    }
    fuzz::end(capture);
    fuzz::check(fake::state.console_pos == fake::state.console.size(), "input read to its end");
    return 0;
}
