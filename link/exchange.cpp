// The lock-step exchange: the controller echoes each byte, answers, and sends
// its prompt character when it is ready for the next line.
#include <array>
#include <cstddef>
#include <cstdio>

#include "control/settings.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/serial_port.h"

namespace {

constexpr int kNoByte = -1;
constexpr int kQueryAnswers = 4;

// Bytes from the controller collect here and reach the console in one write
// whenever no further byte is waiting yet, and before every return, so the
// screen is never behind while the program waits, and a burst of echo does not
// cost a system call per byte.
std::array<char, 256> shown;
std::size_t shown_count = 0;

void flush_shown() {
    if (shown_count > 0) std::fwrite(shown.data(), 1, shown_count, stdout);
    shown_count = 0;
}

void show(int byte) {
    if (shown_count == shown.size()) flush_shown();
    shown[shown_count++] = static_cast<char>(byte);
}

// Waits for the next byte from the controller. Returns it, or kNoByte with the
// elapsed time in `elapsed_ms` once more than REPLY_TIMEOUT_MS has passed.
// Between polls it blocks on the device for the time the wait has left, so a
// byte is taken the moment it arrives and an idle wait costs no CPU.
int next_byte(std::int64_t& elapsed_ms) {
    const std::int64_t start = clock_ms();
    for (;;) {
        int byte = serial_get(settings.port_number);
        if (byte >= 0) return byte;
        elapsed_ms = clock_ms() - start;
        if (elapsed_ms > REPLY_TIMEOUT_MS) return kNoByte;
        flush_shown();
        serial_wait(settings.port_number, static_cast<int>(REPLY_TIMEOUT_MS - elapsed_ms + 1));
    }
}

std::int64_t read_echo_and_answer(char prompt, int echo_count) {
    const int prompt_byte = static_cast<unsigned char>(prompt);
    std::int64_t elapsed_ms = 0;
    int last = 0;
    for (int i = 0; i < echo_count; ++i) {
        last = next_byte(elapsed_ms);
        if (last == kNoByte) return elapsed_ms;
        show(last);
    }
    int line_feeds = 0;
    while (last != prompt_byte) {
        last = next_byte(elapsed_ms);
        if (last == kNoByte) return elapsed_ms;
        if (settings.output_mode != 'n') continue;
        if (last == '\n' && line_feeds < 2) ++line_feeds;  // 2 stands for any later one
        // Only the first line feed of an answer is shown, so a multi-line
        // answer does not scroll the console.
        if (last != '\n' || line_feeds == 1) show(last);
    }
    return 0;
}

}  // namespace

void send_text(std::string_view text) {
    for (char c : text)
        serial_put(settings.port_number, static_cast<unsigned char>(c));
}

std::int64_t await_prompt(char prompt, int echo_count) {
    std::int64_t result = read_echo_and_answer(prompt, echo_count);
    flush_shown();
    return result;
}

void query_controller() {
    send_text("v");
    for (int i = 0; i < kQueryAnswers; ++i)
        await_prompt(settings.prompt_char, 0);
}
