// The lock-step exchange: the controller echoes each byte, answers, and sends
// its prompt character when it is ready for the next line. Each echo byte is
// compared with the byte sent, and each answer is looked through for the stop
// words: when lock-step is lost, the controller reports an error or falls
// silent, the job stops rather than guess.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <utility>

#include "control/settings.h"
#include "control/text.h"
#include "link/link.h"
#include "link/port_state.h"
#include "link/stop_words.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/device_map.h"
#include "platform/progress.h"
#include "platform/serial_port.h"
#include "platform/shown_text.h"
#include "platform/signals.h"

namespace {

constexpr int kNoByte = -1;       // the wait ran out
constexpr int kLostByte = -2;     // the device hung up or failed; errno says why
constexpr int kGivenUpByte = -3;  // the operator gave up the wait
// Of a text in a message: at most this many bytes; before a byte whose echo
// differed, this many of those before it.
constexpr std::size_t kShownBytes = 48;
constexpr std::size_t kShownBefore = 32;

// Bytes from the controller collect here and reach the console in one write
// whenever no further byte is waiting yet, and before every return, so the
// screen is never behind while the program waits, and a burst of echo does not
// cost a system call per byte.
std::array<char, 256> shown;
std::size_t shown_count = 0;

// Once the operator asked the job to stop, or a signal is to end the program,
// a console that takes nothing more (a full pipe, a terminal on hold) does not
// hold the job up: what it does not take at once is dropped.
bool console_may_hold_up() {
    return stop_requests() == 0 && !ending_signal_came();
}

void flush_shown() {
    std::string_view rest(shown.data(), shown_count);
    shown_count = 0;
    while (!rest.empty()) {
        const bool wait = console_may_hold_up();
        rest.remove_prefix(console_write(rest, wait));
        if (!wait) return;
        end_if_signalled(line_begun());  // a signal ended the wait for room
    }
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
// After the first the wait goes on, as long as a silent controller keeps it
// going, so the operator learns at once what happens.
bool wait_given_up() {
    if (stop_requests() >= 2) return true;
    if (take_first_stop())  // the echo so far has been shown
        std::printf(
            "\nStopping after the line in flight (Ctrl-C) - a second Ctrl-C gives up waiting for "
            "the controller on COM%d\n",
            settings.port_number + 1);
    return false;
}

// A signal that ends the program is acted on between lines, never inside one.
void end_if_signalled_between_lines() {
    end_if_signalled(line_begun());
}

// The text last sent, whose bytes are compared with their echo as it comes
// back; a job sends no longer text in one go.
std::array<char, 512> request_bytes;
std::string_view request;
std::size_t echo_checked = 0;  // bytes of it whose echo has come
// What came back as their echo, the last ones, by position.
std::array<char, 64> echoed;

bool echo_due() {
    return echo_checked < request.size();
}

// Letters may come back in the other case. A wait without a request of its
// own has nothing to compare.
bool echo_matches(int byte) {
    if (!echo_due()) return true;
    const char sent = request[echo_checked];
    const char came = static_cast<char>(byte);
    echoed[echo_checked++ % echoed.size()] = came;
    return sent == came || lower_ascii(sent) == lower_ascii(came);
}

// Prints `bytes` quoted and shown.
void print_quoted(std::string_view bytes, bool cut_before, bool cut_after) {
    std::printf("'%s", cut_before ? "..." : "");
    print_shown(bytes.substr(0, kStopLineSize));
    std::printf("%s'", cut_after ? "..." : "");
}

void print_request_head() {
    print_quoted(request.substr(0, kShownBytes), false, request.size() > kShownBytes);
}

// What was sent and what came back, up to the byte that differed.
void report_echo_difference() {
    const std::size_t at = echo_checked - 1;
    const std::size_t from = at > kShownBefore ? at - kShownBefore : 0;
    std::array<char, kShownBefore + 1> back;
    for (std::size_t i = from; i <= at; ++i)
        back[i - from] = echoed[i % echoed.size()];
    std::printf(
        "\nThe echo on COM%d differs from what was sent: lock-step with the controller is lost\n"
        "  sent:      ",
        settings.port_number + 1);
    print_quoted(request.substr(from, kShownBytes), from > 0, from + kShownBytes < request.size());
    std::printf("\n  came back: ");
    print_quoted({back.data(), at + 1 - from}, from > 0, false);
    std::printf("\n");
}

void report_silence() {
    char path[kShownPathSize];
    shown_device_path(settings.port_number, path, sizeof path);
    std::printf("\nNo byte from the controller on COM%d (%s) for %lld s: ",
                settings.port_number + 1, path, static_cast<long long>(REPLY_TIMEOUT_MS / 1000));
    print_request_head();
    std::printf(" not acknowledged\n");
}

// The answer, or what came unasked, looked through for stop words.
StopWordScan scan;
// send_text sent nothing: what the controller sent unasked held a stop word.
bool refused = false;

void report_stop_word(const char* before, const char* after) {
    std::printf("%s", before);
    print_quoted(stop_line(scan), false, scan.line_cut);
    std::printf("%s", after);
}

// The last wait met the prompt among the echo and returned before the answer
// to its line; that answer is left to the next wait, so it is not taken for
// bytes the controller sent unasked.
bool answer_owed = false;

// Bytes the controller sent unasked (its banner after a reset, a second
// prompt, an alarm) would count as the next request's echo and put every later
// wait one prompt ahead. What has arrived before a request is shown first,
// under the output mode, every line feed kept: the rule of one line feed is
// for answers, and an alarm's lines must not land on each other. Only what is
// there is taken, so no request waits for it. False when what came holds a
// stop word.
bool show_unasked() {
    scan_begin(scan);
    for (int arrived = serial_arrived(settings.port_number); arrived > 0; --arrived) {
        const int byte = serial_get(settings.port_number);
        if (byte < 0) break;
        if (settings.output_mode == kNormalOutput) show(byte);
        scan_byte(scan, byte);
    }
    scan_end(scan);
    flush_shown();
    return !scan.found;
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
        // Before blocking: a signal whose wake-up a wait for the console took
        // is acted on all the same.
        end_if_signalled_between_lines();
        if (wait_given_up()) return kGivenUpByte;
        int wait_ms = static_cast<int>(REPLY_TIMEOUT_MS - elapsed_ms + 1);
        if (progress_shown()) wait_ms = std::min(wait_ms, kProgressTickMs);
        if (serial_wait(settings.port_number, wait_ms) < 0) return kLostByte;
        progress_tick();
    }
}

// The result of await_prompt for a wait that ended without the prompt.
std::int64_t wait_ended(int last, std::int64_t elapsed_ms) {
    if (last == kGivenUpByte) return kWaitAbandoned;
    return last == kLostByte ? kLinkDown : elapsed_ms;
}

// Reads, checks and shows `echo_count` echo bytes; the last one is left in
// `last`. Returns 0, or how the wait ended as await_prompt says.
std::int64_t read_echo(int echo_count, int& last, std::int64_t& elapsed_ms) {
    for (int i = 0; i < echo_count; ++i) {
        last = next_byte(elapsed_ms);
        if (last < 0) return wait_ended(last, elapsed_ms);
        if (!echo_matches(last)) return kEchoDiffers;
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
    int line_feeds = 0;
    // The echo of the rest of the request (a download line's line feed) shows
    // as answer; a prompt counts only after it.
    while (echo_due()) {
        last = next_byte(elapsed_ms);
        if (last < 0) return wait_ended(last, elapsed_ms);
        if (!echo_matches(last)) return kEchoDiffers;
        show_answer(last, line_feeds);
    }
    answer_owed = last == prompt_byte;
    scan_begin(scan);
    while (last != prompt_byte) {
        last = next_byte(elapsed_ms);
        if (last < 0) return wait_ended(last, elapsed_ms);
        show_answer(last, line_feeds);
        if (last != prompt_byte) scan_byte(scan, last);
    }
    scan_end(scan);
    return scan.found ? kStopWord : 0;
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

// Shows what a wait has read and says how it ended, unless the prompt came
// after a plain answer. When the device went away, closes the port.
std::int64_t end_wait(std::int64_t result) {
    const int error = errno;
    flush_shown();  // the echo so far shows before any message
    if (result == kLinkDown) drop_link(error);
    if (result == kWaitAbandoned)
        std::printf(
            "\nStopped waiting for the prompt (Ctrl-C) - the controller may still answer\n");
    if (result == kEchoDiffers) report_echo_difference();
    if (result > 0) report_silence();
    if (result == kStopWord) report_stop_word("\nStopped: the controller answered ", "\n");
    // A long line given up between its pieces.
    if (result == kWaitAbandoned || result == kEchoDiffers || result > 0) hold_unfinished_line();
    return result;
}

}  // namespace

bool send_text(std::string_view text) {
    end_if_signalled_between_lines();
    refused = false;
    if (!link_up()) return false;
    const bool owed = std::exchange(answer_owed, false);
    if (!line_begun() && !owed && !show_unasked()) {
        refused = true;
        report_stop_word("\nNot sent: the controller sent ", " unasked\n");
        return false;
    }
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
    const std::size_t kept = std::min(text.size(), request_bytes.size());
    std::copy_n(text.data(), kept, request_bytes.data());
    request = {request_bytes.data(), kept};
    echo_checked = 0;
    return true;
}

void forget_request() {
    request = {};
    echo_checked = 0;
}

bool refused_for_stop_word() {
    return refused;
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

bool send_request(std::string_view text, bool echoed) {
    if (!send_text(text)) return false;
    note_request_complete();                     // also a typed line that ends in a carriage return
    if (!echoed) echo_checked = request.size();  // still named when no answer comes
    return true;
}

// A port that is not open has nothing that arrived.
bool show_arrived_text() {
    answer_owed = false;  // what has come of it is taken here
    if (show_unasked()) return false;
    report_stop_word("\nThe controller sent ", " unasked after its last prompt\n");
    return true;
}

bool send_and_await(std::string_view text, char prompt, int echo_count) {
    return send_request(text) && await_prompt(prompt, echo_count) == 0;
}
