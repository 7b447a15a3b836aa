// The lock-step exchange: the controller echoes each byte, answers, and sends
// its prompt character when it is ready for the next line.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <utility>

#include "control/settings.h"
#include "link/link.h"
#include "link/port_state.h"
#include "platform/clock.h"
#include "platform/progress.h"
#include "platform/serial_port.h"
#include "platform/signals.h"

namespace {

constexpr int kNoByte = -1;       // the wait ran out
constexpr int kLostByte = -2;     // the device hung up or failed; errno says why
constexpr int kGivenUpByte = -3;  // the operator gave up the wait
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

// Shows a byte of an answer under the output mode. Only the first line feed
// of an answer is shown, so a multi-line answer does not scroll the console;
// `line_feeds` counts them, 2 standing for any later one.
void show_answer(int byte, int& line_feeds) {
    if (settings.output_mode != kNormalOutput) return;
    if (byte == '\n' && line_feeds < 2) ++line_feeds;
    if (byte != '\n' || line_feeds == 1) show(byte);
}

// The operator pressed Ctrl-C twice: the job gives up what it waits for.
bool wait_given_up() {
    return stop_requests() >= 2;
}

// A signal that ends the program is acted on between lines, never inside one.
void end_if_signalled_between_lines() {
    end_if_signalled(line_begun());
}

// The last wait met the prompt among the echo and returned before the answer
// to its line; that answer is left to the next wait, so it is not taken for
// bytes the controller sent unasked.
bool answer_owed = false;

// Bytes the controller sent unasked (its banner after a reset, a second
// prompt, an alarm) would count as the next request's echo and put every later
// wait one prompt ahead. What has arrived before a request is shown first, as
// answer text; only what is there is taken, so no request waits for it.
void show_unasked() {
    int line_feeds = 0;
    for (int arrived = serial_arrived(settings.port_number); arrived > 0; --arrived) {
        const int byte = serial_get(settings.port_number);
        if (byte < 0) break;
        show_answer(byte, line_feeds);
    }
    flush_shown();
}

// Waits for the next byte from the controller. Returns it, or kNoByte with the
// elapsed time in `elapsed_ms` once more than REPLY_TIMEOUT_MS has passed,
// kLostByte at once when the device has gone, or kGivenUpByte.
// Between polls it blocks on the device for the time the wait has left, so a
// byte is taken the moment it arrives and an idle wait costs no CPU.
int next_byte(std::int64_t& elapsed_ms) {
    const std::int64_t start = clock_ms();
    for (;;) {
        int byte = serial_get(settings.port_number);
        if (byte >= 0) return byte;
        if (byte == serial::kDeviceLost) return kLostByte;
        elapsed_ms = clock_ms() - start;
        if (elapsed_ms > REPLY_TIMEOUT_MS) return kNoByte;
        flush_shown();
        int wait_ms = static_cast<int>(REPLY_TIMEOUT_MS - elapsed_ms + 1);
        if (progress_shown()) wait_ms = std::min(wait_ms, kProgressTickMs);
        if (serial_wait(settings.port_number, wait_ms) < 0) return kLostByte;
        progress_tick();
        end_if_signalled_between_lines();
        if (wait_given_up()) return kGivenUpByte;
    }
}

// The result of await_prompt for a wait that ended without the prompt.
std::int64_t wait_ended(int last, std::int64_t elapsed_ms) {
    if (last == kGivenUpByte) return kWaitAbandoned;
    return last == kLostByte ? kLinkDown : elapsed_ms;
}

// Reads and shows `echo_count` echo bytes, whatever they are; the last one is
// left in `last`. Returns 0, or how the wait ended as await_prompt says.
std::int64_t read_echo(int echo_count, int& last, std::int64_t& elapsed_ms) {
    for (int i = 0; i < echo_count; ++i) {
        last = next_byte(elapsed_ms);
        if (last < 0) return wait_ended(last, elapsed_ms);
        show(last);
    }
    return 0;
}

std::int64_t read_echo_and_answer(char prompt, int echo_count) {
    const int prompt_byte = static_cast<unsigned char>(prompt);
    std::int64_t elapsed_ms = 0;
    int last = 0;
    if (const std::int64_t ended = read_echo(echo_count, last, elapsed_ms); ended != 0)
        return ended;
    answer_owed = last == prompt_byte;
    int line_feeds = 0;
    while (last != prompt_byte) {
        last = next_byte(elapsed_ms);
        if (last < 0) return wait_ended(last, elapsed_ms);
        show_answer(last, line_feeds);
    }
    return 0;
}

// Puts bytes of `text` from `put` on into the port's queue while it has room.
std::size_t queue_text(std::string_view text, std::size_t put) {
    while (put < text.size() &&
           serial_put(settings.port_number, static_cast<unsigned char>(text[put])) >= 0)
        ++put;
    return put;
}

// In place of an errno: the device took nothing for too long, or the operator
// gave up the line.
constexpr int kStalled = 0;
constexpr int kGivenUp = -1;

// Ends the use of the link after a text could not be sent whole; `went_out` is
// the part the device took. Returns false for the caller to return.
bool sending_failed(std::string_view went_out, int error) {
    note_sent(went_out);
    if (error == kGivenUp) {
        hold_unfinished_line();
    } else if (error == kStalled) {
        give_up_line();
    } else {
        drop_link(error);
    }
    return false;
}

// Shows what a wait has read and, when the device went away, says so and
// closes the port.
std::int64_t end_wait(std::int64_t result) {
    const int error = errno;
    flush_shown();  // the echo so far shows before any message
    if (result == kLinkDown) drop_link(error);
    if (result == kWaitAbandoned) {
        std::printf(
            "\nStopped waiting for the prompt (Ctrl-C) - the controller may still answer\n");
        hold_unfinished_line();  // a long line given up between its pieces
    }
    return result;
}

}  // namespace

bool send_text(std::string_view text) {
    end_if_signalled_between_lines();
    if (!link_up()) return false;
    const bool owed = std::exchange(answer_owed, false);
    if (!line_begun() && !owed) show_unasked();
    std::size_t put = 0;
    std::size_t queued = 0;  // put, not yet taken by the device
    std::int64_t since = clock_ms();
    // A device that takes bytes slowly is waited for as long as each byte goes
    // within REPLY_TIMEOUT_MS of the one before, as for reading.
    for (;;) {
        const std::size_t more = queue_text(text, put);
        queued += more - put;
        put = more;
        const int left = serial_send(settings.port_number);
        if (left < 0) return sending_failed(text.substr(0, put - queued), errno);
        if (static_cast<std::size_t>(left) < queued) {
            queued = static_cast<std::size_t>(left);
            since = clock_ms();
        }
        if (queued == 0 && put == text.size()) break;
        const std::int64_t idle_ms = clock_ms() - since;
        if (idle_ms > REPLY_TIMEOUT_MS)
            return sending_failed(text.substr(0, put - queued), kStalled);
        const int wait_ms = static_cast<int>(REPLY_TIMEOUT_MS - idle_ms + 1);
        if (serial_wait(settings.port_number, wait_ms) < 0)
            return sending_failed(text.substr(0, put - queued), errno);
        // Until the line is out whole, only a second signal ends the program.
        end_if_signalled(true);
        if (wait_given_up()) return sending_failed(text.substr(0, put - queued), kGivenUp);
    }
    note_sent(text);
    return true;
}

std::int64_t await_prompt(char prompt, int echo_count) {
    if (!link_up()) return kLinkDown;
    return end_wait(read_echo_and_answer(prompt, echo_count));
}

std::int64_t await_echo(int echo_count) {
    if (!link_up()) return kLinkDown;
    std::int64_t elapsed_ms = 0;
    int last = 0;
    return end_wait(read_echo(echo_count, last, elapsed_ms));
}

bool send_and_await(std::string_view text, char prompt, int echo_count) {
    if (!send_text(text)) return false;
    const std::int64_t result = await_prompt(prompt, echo_count);
    return result != kLinkDown && result != kWaitAbandoned;
}

bool stop_asked() {
    return stop_requests() > 0;
}

bool query_controller() {
    if (!ensure_link() || !send_text("v")) return false;
    note_request_complete();  // the controller answers a lone v at once
    for (int i = 0; i < kQueryAnswers; ++i) {
        const std::int64_t result = await_prompt(settings.prompt_char, 0);
        if (result == kLinkDown || result == kWaitAbandoned) return false;
        if (stop_asked() && i + 1 < kQueryAnswers) {
            std::printf("\nStopped (Ctrl-C)\n");
            return false;
        }
    }
    return true;
}
