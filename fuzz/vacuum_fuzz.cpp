// The vacuum head processor on any keys and any text after the key a.
//
// The four numbers after a must be read as the C standard's "%f" reads them
// (same characters taken, same value), except that infinity,
// not-a-number and numbers too large for 32 bits are refused; a refused or
// unreadable number ends the reading. The rest of that line is kept aside and
// comes back to the console afterwards. Every line sent must be a move with
// the current values or the dwell line, in the order the keys ask for.
//
// The controller here is silent, so every wait ends by its time-out, which
// says so and ends the rest of a place.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "control/settings.h"
#include "control/text.h"
#include "fuzz/fuzz_support.h"
#include "jobs/vacuum_head.h"
#include "platform/console.h"
#include "tests/fakes/fake_keyboard.h"
#include "tests/fakes/fake_platform.h"

namespace {

constexpr std::size_t kNumberKept = 127;  // longest number text the processor reads

struct Head {
    float lift_height = 0.15f;
    float lift_rate = 5.0f;
    float place_height = -0.05f;
    float place_rate = 5.0f;
};

struct Session {
    std::string_view input;
    std::size_t pos = 0;
    Head head;
    std::string shown;
    std::string sent;
    std::string held;  // the rest of the numbers lines, back to the console at the end
};

std::string format(const char* pattern, float a, float b) {
    char text[128];
    int n =
        std::snprintf(text, sizeof text, pattern, static_cast<double>(a), static_cast<double>(b));
    return std::string(text, static_cast<std::size_t>(n));
}

void move(Session& s, float height, float rate) {
    const std::string line = format("N1 G1 X%1.4f F%1.4f\n", height, rate);
    s.sent += line;
    const std::string head = line.size() > 48 ? line.substr(0, 48) + "..." : line;
    s.shown += "\nNo byte from the controller on COM1 (fake1) for 1000 s: '" +
               head.substr(0, head.find('\n')) + (line.size() > 48 ? "" : "\\n") +
               "' not acknowledged\n";
}

// True when `text` is a whole floating-point number as strtod reads one.
bool whole_number(const std::string& text) {
    if (text.empty()) return false;
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

bool starts_word(std::string text, std::string_view word) {
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.erase(0, 1);
    for (char& c : text)
        c = lower_ascii(c);
    return !text.empty() && text.size() <= word.size() && word.substr(0, text.size()) == text;
}

// True when some characters could follow `text` to make a whole number.
bool number_start(const std::string& text) {
    return whole_number(text) || whole_number(text + "0") || whole_number(text + ")") ||
           starts_word(text, "infinity") || starts_word(text, "nan");
}

// One "%f" as the C standard describes it: white space, then the longest run
// of characters that begins a number; the conversion succeeds when that run is
// a whole number. Whether a number was read and what it is; the position
// moves past what was taken.
bool standard_number(Session& s, float& value) {
    while (s.pos < s.input.size() && is_blank(static_cast<unsigned char>(s.input[s.pos])))
        ++s.pos;
    std::string text;
    while (s.pos < s.input.size() && s.input[s.pos] != '\0' &&
           number_start(text + s.input[s.pos])) {
        text += s.input[s.pos++];
    }
    if (!whole_number(text) || text.size() > kNumberKept) return false;
    float read = std::strtof(text.c_str(), nullptr);
    if (!std::isfinite(read)) return false;
    value = read;
    return true;
}

void adjust(Session& s) {
    s.shown += "\n=New lift hgt, lift rate, place hgt, place rate: ";
    float* targets[] = {&s.head.lift_height, &s.head.lift_rate, &s.head.place_height,
                        &s.head.place_rate};
    for (float* target : targets) {
        if (!standard_number(s, *target)) break;
    }
    std::size_t feed = s.input.find('\n', s.pos);
    std::size_t end = feed == std::string_view::npos ? s.input.size() : feed + 1;
    if (s.held.size() + (end - s.pos) <= kConsolePushBackSize) {
        s.held += s.input.substr(s.pos, end - s.pos);
    }
    s.pos = end;
    const Head& h = s.head;
    s.shown += format("New settings: %1.4f %1.4f", h.lift_height, h.lift_rate) +
               format(" %1.4f %1.4f\n=", h.place_height, h.place_rate);
}

void run_model(Session& s) {
    const Head& h = s.head;
    s.shown = format("Vacuum Head Processor\n  Lift height=%1.4f Lift rate=%1.4f", h.lift_height,
                     h.lift_rate) +
              format("  Place height=%1.4f Place rate=%1.4f\n", h.place_height, h.place_rate) +
              "  l-lift, p-place, a-adjust, e-exit\n=";
    if (s.pos < s.input.size()) ++s.pos;  // the blank that ended the v word
    while (s.pos < s.input.size()) {
        const unsigned char typed = static_cast<unsigned char>(s.input[s.pos++]);
        const bool sequence = typed == 0x1b;  // the stand-in's arrow key
        const char key = lower_ascii(static_cast<char>(typed));
        if (!sequence) s.shown += key;
        if (!sequence && key == 'a') {
            adjust(s);
        } else if (!sequence && key == 'l') {
            s.shown += "\n lift part";
            move(s, h.lift_height, h.lift_rate);
        } else if (!sequence && key == 'p') {
            s.shown += "\n place part";
            move(s, h.place_height, h.place_rate);
        }
        s.shown += "\n=";
        if (!sequence && key == 'e') break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::reset();
    fake::reset_keyboard();
    settings = Settings{};
    fake::state.console.assign(reinterpret_cast<const char*>(data), size);

    fuzz::Capture capture;
    fuzz::begin(capture);
    run_vacuum_head();
    std::string shown = fuzz::end(capture);

    Session expected;
    expected.input = std::string_view(reinterpret_cast<const char*>(data), size);
    run_model(expected);
    fuzz::check(fake::state.sent == expected.sent, "lines sent as the keys ask");
    fuzz::check(shown == expected.shown, "keys, prompts and values shown");
    const std::string back = expected.held + std::string(expected.input.substr(expected.pos));
    fuzz::check(fake::state.console.substr(fake::state.console_pos) == back,
                "rest of the numbers lines and unread keys left for the console");
    fuzz::check(!fake::keyboard.key_mode, "key mode ended");
    return 0;
}
