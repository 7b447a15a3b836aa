// The exchange's handling of controller bytes: any bytes, at times that fall
// inside or just outside the per-byte time-out, through several waits in a
// row. Each wait is checked against what the display and prompt rules promise
// about the bytes it took from the line:
// - what it shows is taken from those bytes, in order: first the echo, in any
//   output mode; then, in normal mode only, the answer up to and including the
//   prompt, of which only the first line feed is shown;
// - it ends at the first prompt byte after the echo (at once when the echo's
//   last byte is the prompt), or when the next byte comes later than the
//   time-out, and reports which, a time-out with a line saying so;
// - it reports a stop word, with a line saying so, exactly when the answer
//   before the prompt holds "error" or "alarm" as a whole word;
// - it takes every byte the moment it arrives, and blocks rather than spins.
// The rules' own examples are checked once at start-up.
//
// Input: prompt character, quiet-mode bits, three echo counts, where the
// controller pauses and for how long, then the controller's bytes.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "control/settings.h"
#include "fuzz/fuzz_support.h"
#include "link/link.h"
#include "tests/fakes/fake_platform.h"

namespace {

constexpr std::size_t kHeader = 7;
constexpr int kWaits = 4;

std::int64_t pause_length(std::uint8_t kind) {
    switch (kind % 5) {
        case 0:
            return 1;
        case 1:
            return REPLY_TIMEOUT_MS;
        case 2:
            return REPLY_TIMEOUT_MS + 1;  // there as the time runs out
        case 3:
            return REPLY_TIMEOUT_MS + 2;  // just too late
        default:
            return 3 * REPLY_TIMEOUT_MS + 5;
    }
}

const std::string kSilence =
    "\nNo byte from the controller on COM1 (fake1) for 1000 s: '' not acknowledged\n";

// The default stop words as whole words of letters and digits, any case.
bool holds_stop_word(std::string_view answer) {
    std::string word;
    for (std::size_t i = 0; i <= answer.size(); ++i) {
        const char c = i < answer.size() ? answer[i] : ' ';
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
            word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (word == "error" || word == "alarm") {
            return true;
        } else {
            word.clear();
        }
    }
    return false;
}

struct Wait {
    std::string shown;
    std::int64_t result = 0;
    std::size_t taken = 0;  // bytes it took from the line
};

// One await_prompt in the given output mode, on bytes already queued.
Wait run_wait(char prompt, int echo_count, char mode) {
    settings.output_mode = mode;
    const std::size_t left_before = fake::state.incoming.size();
    fuzz::Capture capture;
    fuzz::begin(capture);
    Wait wait;
    wait.result = await_prompt(prompt, echo_count);
    wait.shown = fuzz::end(capture);
    wait.taken = left_before - fake::state.incoming.size();
    return wait;
}

// A controller sending `bytes` at once; returns what one wait showed.
std::string example(char mode, int echo_count, std::string_view bytes) {
    fake::reset();
    settings = Settings{};
    open_link();
    fake::controller_sends(bytes);
    Wait wait = run_wait('-', echo_count, mode);
    fuzz::check(wait.result == 0 && fake::state.incoming.empty(), "example read to its prompt");
    return wait.shown;
}

void check_examples() {
    fuzz::check(example('n', 0, "OK\r\n\r\n-") == "OK\r\n\r-", "second line feed dropped");
    fuzz::check(example('q', 0, "OK\r\n\r\n-").empty(), "quiet answer not shown");
    fuzz::check(example('n', 5, "G1 X1-") == "G1 X1-", "echo and prompt shown");
    fuzz::check(example('q', 5, "G1 X1-") == "G1 X1", "quiet mode shows the echo");

    // An echo ending in the prompt ends the wait; the answer is left for the next.
    fake::reset();
    settings = Settings{};
    open_link();
    fake::controller_sends("G1-\nok\n\n-\n\n-");
    Wait first = run_wait('-', 3, 'n');
    fuzz::check(first.result == 0 && first.shown == "G1-" && first.taken == 3,
                "no answer awaited after an echo ending in the prompt");
    fuzz::check(run_wait('-', 0, 'n').shown == "\nok-", "answer after the early prompt");
    fuzz::check(run_wait('-', 0, 'n').shown == "\n-", "line feeds counted again in each wait");

    Wait silent = run_wait('-', 2, 'n');
    fuzz::check(silent.result > REPLY_TIMEOUT_MS && silent.shown == kSilence,
                "silent controller times out, with a line saying so");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    check_examples();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeader) return 0;
    const char prompt = static_cast<char>(data[0]);
    const std::uint8_t quiet_bits = data[1];
    const int echo_counts[kWaits] = {data[2] % 64, data[3] % 64, data[4] % 8, 0};
    const std::size_t pause_index = data[5];
    const std::int64_t pause = pause_length(data[6]);
    const std::string_view line(reinterpret_cast<const char*>(data + kHeader), size - kHeader);
    auto arrival = [&](std::size_t i) { return i >= pause_index ? pause : std::int64_t{0}; };

    fake::reset();
    settings = Settings{};
    open_link();
    for (std::size_t i = 0; i < line.size(); ++i)
        fake::state.incoming.push_back({arrival(i), static_cast<unsigned char>(line[i])});

    std::size_t pos = 0;  // bytes of the line taken by earlier waits
    for (int call = 0; call < kWaits; ++call) {
        const char mode = (quiet_bits >> call) & 1 ? 'q' : 'n';
        const std::size_t echo_count = echo_counts[call];
        const std::int64_t start = fake::state.now_ms;
        const long waits_before = fake::state.waits;
        Wait wait = run_wait(prompt, static_cast<int>(echo_count), mode);
        const std::string_view got = line.substr(pos, wait.taken);

        // Each byte is taken when it arrives, unless it comes more than the
        // time-out after the one before (the device is asked once more as the
        // time runs out, so a byte there at that moment still counts).
        std::int64_t taken_at = start;
        for (std::size_t i = pos; i < pos + got.size(); ++i) {
            fuzz::check(arrival(i) - taken_at <= REPLY_TIMEOUT_MS + 1, "taken within the time-out");
            taken_at = std::max(taken_at, arrival(i));
        }
        pos += got.size();

        // Where the wait ends. The last byte starts as NUL, so with no echo a
        // NUL prompt counts as come.
        const bool echo_read = got.size() >= echo_count;
        const char last_echoed = echo_count > 0 && echo_read ? got[echo_count - 1] : '\0';
        const bool echo_ends = echo_read && last_echoed == prompt;
        const std::size_t first_prompt = echo_read ? got.find(prompt, echo_count) : got.npos;
        // The line a wait ends with, when it ends otherwise than at a plain answer.
        std::size_t message = std::string::npos;
        if (wait.result == kStopWord) {
            message = wait.shown.rfind("\nStopped: the controller answered '");
        } else if (wait.result != 0) {
            message = wait.shown.size() - std::min(wait.shown.size(), kSilence.size());
            fuzz::check(wait.shown.substr(message) == kSilence, "time-out said");
        }
        fuzz::check((message == std::string::npos) == (wait.result == 0), "wait's end said");
        if (message != std::string::npos) wait.shown.resize(message);
        if (wait.result == 0 || wait.result == kStopWord) {
            const std::string_view answer =
                echo_read && !echo_ends ? got.substr(echo_count, got.size() - echo_count - 1)
                                        : std::string_view();
            fuzz::check((wait.result == kStopWord) == holds_stop_word(answer),
                        "stop word reported when the answer holds one");
            fuzz::check(echo_read, "prompt reported after the whole echo");
            fuzz::check(echo_ends ? got.size() == echo_count : first_prompt == got.size() - 1,
                        "read up to the first prompt after the echo and not past it");
            fuzz::check(fake::state.now_ms == taken_at, "no wait after the prompt");
        } else {
            fuzz::check(!echo_ends && first_prompt == got.npos, "no time-out once the prompt came");
            fuzz::check(pos == line.size() || arrival(pos) - taken_at > REPLY_TIMEOUT_MS + 1,
                        "time-out only when the next byte is late");
            fuzz::check(
                wait.result > REPLY_TIMEOUT_MS && fake::state.now_ms - taken_at == wait.result,
                "time-out reported with its length");
        }

        // What it shows.
        const std::string_view echo = got.substr(0, echo_count);
        const std::string_view shown = wait.shown;
        fuzz::check(fuzz::is_subsequence(shown, got), "shows only bytes it received, in order");
        fuzz::check(shown.substr(0, echo.size()) == echo, "echo shown in any mode");
        if (mode == 'q') {
            fuzz::check(shown.size() == echo.size(), "quiet mode shows the echo only");
        } else {
            fuzz::check(
                shown.substr(echo.size()) == fuzz::first_line_feed_only(got.substr(echo.size())),
                "answer shown with its first line feed only");
        }

        // Each byte costs at most one blocking wait, and so does a time-out.
        fuzz::check(fake::state.waits - waits_before <= static_cast<long>(got.size()) + 1,
                    "blocks instead of spinning");
    }
    return 0;
}
