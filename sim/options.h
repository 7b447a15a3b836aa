// Command-line options of vqsim, the VQ318 board simulator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vqsim {

// Longest answer text accepted with --answer, after escapes are decoded.
inline constexpr std::size_t kMaxAnswer = 256;
// Upper bounds for the numeric options, so no later arithmetic can overflow.
inline constexpr long kMaxByteDelayUs = 10'000'000;
inline constexpr long kMaxHangupAfter = 1'000'000'000;
inline constexpr long kMaxStallMs = 3'600'000;
// The longest latency timer a USB serial adapter offers.
inline constexpr long kMaxLatencyTimerMs = 255;

struct Options {
    std::string link;             // symlink to create for the slave device; empty: none
    std::string log;              // file receiving every byte read from the program; empty: none
    char prompt = '-';            // sent after every answer
    std::string answer = "ok\n";  // sent after every received line feed
    bool silent = false;          // never answer, never prompt
    bool echo = true;             // echo every received byte
    long byte_delay_us = 0;       // pause before each sent byte
    bool emulate_rate = false;    // pause for the wire time of each sent byte
    long latency_timer_ms = 0;    // hold sent bytes as a USB adapter does; 0: no adapter
    int event_char = -1;          // the adapter passes held bytes on when this one comes; -1: none
    long hangup_after = 0;        // hang up after this many answered lines; 0: never
    long hangup_after_bytes = 0;  // hang up right after this many received bytes; 0: never
    long stall_after = 0;         // take no bytes for stall_ms after this many; 0: never
    long stall_ms = 2000;
    // Sent unasked: after the prompt for line unasked_after (0: never) and on SIGUSR1.
    std::string unasked = "\r\nVQ318 V2.1 READY\r\n-";
    long unasked_after = 0;
    long unasked_at = 0;  // send it also just before the echo of this received byte
    long answer_for = 0;  // this line gets line_answer instead of answer; 0: none
    std::string line_answer;
    long garble_at = 0;        // this received byte is echoed with its lowest bit flipped
    bool upper_echo = false;   // echo letters in upper case
    bool report_rate = false;  // print the line rate when bytes come at a new one
    bool strict = false;       // report a line that begins before the prompt for the one before
};

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Decodes the escapes \n \r \t \\ and \xHH (one or two hex digits) in `text`.
// Returns false, with a reason in `error`, on an unknown escape, a malformed
// \x, or a result longer than `max_len` bytes.
bool decode_escapes(std::string_view text, std::size_t max_len, std::string& out,
                    std::string& error);

// Parses argv into `opts`. On kError, `error` says what was wrong.
ParseResult parse_options(int argc, char** argv, Options& opts, std::string& error);

// The text printed by --help.
const char* usage_text();

}  // namespace vqsim
