#include "sim/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace vqsim {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes the escape that starts after the backslash at text[i]; advances i
// past it. Returns the byte, or -1 if the escape is not one we know.
int decode_one(std::string_view text, std::size_t& i) {
    if (i >= text.size()) return -1;
    const char c = text[i++];
    switch (c) {
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        case '\\':
            return '\\';
        case 'x':
            break;
        default:
            return -1;
    }
    int value = -1;
    for (int digits = 0; digits < 2 && i < text.size(); ++digits) {
        const int d = hex_digit(text[i]);
        if (d < 0) break;
        value = (value < 0 ? 0 : value * 16) + d;
        ++i;
    }
    return value;
}

// Sets `error` and returns false, so a failing check reads as one statement.
bool fail(std::string& error, std::string message) {
    error = std::move(message);
    return false;
}

// Parses a decimal number in [min, max]; rejects trailing garbage.
bool parse_number(const char* text, long min, long max, long& out) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) return false;
    out = value;
    return true;
}

enum OptionId {
    kLink = 1000,
    kPrompt,
    kAnswer,
    kSilent,
    kNoEcho,
    kByteDelay,
    kEmulateRate,
    kLog,
    kHangupAfter,
    kHangupAfterBytes,
    kStallAfter,
    kStallMs,
    kLatencyTimer,
    kEventChar,
    kUnasked,
    kUnaskedAfter,
    kUnaskedAt,
    kAnswerFor,
    kGarbleEcho,
    kUpperEcho,
    kReportRate,
    kStrict,
    kHelp,
    kVersion,
};

const option kLongOptions[] = {
    {"link", required_argument, nullptr, kLink},
    {"prompt", required_argument, nullptr, kPrompt},
    {"answer", required_argument, nullptr, kAnswer},
    {"silent", no_argument, nullptr, kSilent},
    {"no-echo", no_argument, nullptr, kNoEcho},
    {"byte-delay-us", required_argument, nullptr, kByteDelay},
    {"emulate-rate", no_argument, nullptr, kEmulateRate},
    {"log", required_argument, nullptr, kLog},
    {"hangup-after", required_argument, nullptr, kHangupAfter},
    {"hangup-after-bytes", required_argument, nullptr, kHangupAfterBytes},
    {"stall-after", required_argument, nullptr, kStallAfter},
    {"stall-ms", required_argument, nullptr, kStallMs},
    {"latency-timer", required_argument, nullptr, kLatencyTimer},
    {"event-char", required_argument, nullptr, kEventChar},
    {"unasked", required_argument, nullptr, kUnasked},
    {"unasked-after", required_argument, nullptr, kUnaskedAfter},
    {"unasked-at", required_argument, nullptr, kUnaskedAt},
    {"answer-for", required_argument, nullptr, kAnswerFor},
    {"garble-echo", required_argument, nullptr, kGarbleEcho},
    {"upper-echo", no_argument, nullptr, kUpperEcho},
    {"report-rate", no_argument, nullptr, kReportRate},
    {"strict", no_argument, nullptr, kStrict},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// Applies one parsed option. Returns false with `error` set if its value is bad.
bool apply_option(int id, const char* arg, Options& opts, std::string& error) {
    std::string decoded;
    switch (id) {
        case kLink:
        case kLog:
            if (*arg == '\0') return fail(error, "a path must not be empty");
            (id == kLink ? opts.link : opts.log) = arg;
            return true;
        case kSilent:
            opts.silent = true;
            return true;
        case kNoEcho:
            opts.echo = false;
            return true;
        case kEmulateRate:
            opts.emulate_rate = true;
            return true;
        case kUpperEcho:
            opts.upper_echo = true;
            return true;
        case kReportRate:
            opts.report_rate = true;
            return true;
        case kStrict:
            opts.strict = true;
            return true;
        case kAnswer:
        case kUnasked:
            return decode_escapes(arg, kMaxAnswer, id == kAnswer ? opts.answer : opts.unasked,
                                  error);
        case kPrompt:
            if (!decode_escapes(arg, 1, decoded, error)) return false;
            if (decoded.size() != 1) return fail(error, "--prompt needs exactly one byte");
            opts.prompt = decoded[0];
            return true;
        case kByteDelay:
            if (parse_number(arg, 0, kMaxByteDelayUs, opts.byte_delay_us)) return true;
            return fail(error, "--byte-delay-us needs a number from 0 to 10000000");
        case kHangupAfter:
        case kUnaskedAfter:
            if (parse_number(arg, 1, kMaxHangupAfter,
                             id == kHangupAfter ? opts.hangup_after : opts.unasked_after))
                return true;
            return fail(error, "a line count from 1 to 1000000000 is needed");
        case kHangupAfterBytes:
        case kStallAfter:
        case kUnaskedAt:
        case kGarbleEcho:
            if (parse_number(arg, 1, kMaxHangupAfter,
                             id == kStallAfter   ? opts.stall_after
                             : id == kUnaskedAt  ? opts.unasked_at
                             : id == kGarbleEcho ? opts.garble_at
                                                 : opts.hangup_after_bytes))
                return true;
            return fail(error, "a byte count from 1 to 1000000000 is needed");
        case kAnswerFor: {
            const std::string_view text = arg;
            const std::size_t colon = text.find(':');
            const std::string line(text.substr(0, colon));
            if (colon == std::string_view::npos ||
                !parse_number(line.c_str(), 1, kMaxHangupAfter, opts.answer_for))
                return fail(error,
                            "--answer-for needs N:TEXT, N a line count from 1 to 1000000000");
            return decode_escapes(text.substr(colon + 1), kMaxAnswer, opts.line_answer, error);
        }
        case kStallMs:
            if (parse_number(arg, 0, kMaxStallMs, opts.stall_ms)) return true;
            return fail(error, "--stall-ms needs a number from 0 to 3600000");
        case kLatencyTimer:
            if (parse_number(arg, 1, kMaxLatencyTimerMs, opts.latency_timer_ms)) return true;
            return fail(error, "--latency-timer needs a number from 1 to 255");
        case kEventChar:
            if (!decode_escapes(arg, 1, decoded, error)) return false;
            if (decoded.size() != 1) return fail(error, "--event-char needs exactly one byte");
            opts.event_char = static_cast<unsigned char>(decoded[0]);
            return true;
        default:
            return fail(error, "unknown option (see --help)");
    }
}

}  // namespace

bool decode_escapes(std::string_view text, std::size_t max_len, std::string& out,
                    std::string& error) {
    std::string result;
    for (std::size_t i = 0; i < text.size();) {
        int byte = static_cast<unsigned char>(text[i++]);
        if (byte == '\\') {
            byte = decode_one(text, i);
            if (byte < 0) return fail(error, "bad escape in \"" + std::string(text) + "\"");
        }
        if (result.size() >= max_len) return fail(error, "text too long: " + std::string(text));
        result.push_back(static_cast<char>(byte));
    }
    out = result;
    return true;
}

ParseResult parse_options(int argc, char** argv, Options& opts, std::string& error) {
    optind = 0;  // restart getopt, in case it ran before in this process
    opterr = 0;  // we report errors ourselves
    for (;;) {
        const int id = getopt_long(argc, argv, "", kLongOptions, nullptr);
        if (id == -1) break;
        if (id == kHelp) return ParseResult::kHelp;
        if (id == kVersion) return ParseResult::kVersion;
        if (id == '?' || id == ':') {
            error = std::string("bad or incomplete option: ") + argv[optind - 1];
            return ParseResult::kError;
        }
        if (!apply_option(id, optarg, opts, error)) return ParseResult::kError;
    }
    if (optind < argc) {
        error = std::string("unexpected argument: ") + argv[optind];
        return ParseResult::kError;
    }
    return ParseResult::kRun;
}

const char* usage_text() {
    return "Usage: vqsim [OPTION]...\n"
           "Plays a VQ318 motion-controller board on a pseudo-terminal, so vqdnc can be\n"
           "run and tested without the hardware.\n"
           "\n"
           "The board echoes every byte it receives. After each line feed it sends the\n"
           "answer text and then its prompt. A 'v' at the start of a line is a status\n"
           "query: the board echoes it and sends four status lines, each ended by\n"
           "\"\\r\\n\" and the prompt.\n"
           "\n"
           "When ready it prints \"vqsim: ready on DEVICE\" on standard output. A link\n"
           "left behind by a simulator that was killed is replaced, with a message.\n"
           "\n"
           "Options:\n"
           "  --link PATH          create a symlink PATH to the device; removed at exit\n"
           "  --prompt C           prompt byte (default '-'; escapes as for --answer)\n"
           "  --answer TEXT        answer sent after each line (default \"ok\\n\");\n"
           "                       escapes: \\n \\r \\t \\\\ \\xHH; may be empty\n"
           "  --silent             never answer or prompt (bytes are still echoed)\n"
           "  --no-echo            never echo received bytes\n"
           "  --byte-delay-us N    pause N microseconds before each byte sent\n"
           "  --emulate-rate       send each byte when it would have crossed the wire at\n"
           "                       the rate set on the device (10 bits per byte)\n"
           "  --latency-timer MS   hold bytes sent as a USB serial adapter does: until MS\n"
           "                       milliseconds (1..255) have passed since the first byte\n"
           "                       held, or 62 bytes are held\n"
           "  --event-char C       with --latency-timer: pass the held bytes on at once when\n"
           "                       byte C arrives, as an FTDI adapter's event character does\n"
           "  --log FILE           write every byte received to FILE (truncated first)\n"
           "  --hangup-after N     after answering the Nth line (and once the program has\n"
           "                       read the answer, or after 2 s), close the line and exit 0\n"
           "  --hangup-after-bytes N  the same right after receiving the Nth byte, even in\n"
           "                       the middle of a line (bytes after it are not answered)\n"
           "  --stall-after N      after receiving N bytes, take none for a while: the\n"
           "                       program's writes then wait, as on a device that stops\n"
           "                       reading; then go on as before\n"
           "  --stall-ms MS        how long --stall-after takes no bytes (default 2000)\n"
           "  --unasked TEXT       what the board sends unasked (escapes as for --answer;\n"
           "                       default its power-up banner \"\\r\\nVQ318 V2.1 "
           "READY\\r\\n-\"):\n"
           "                       at once on SIGUSR1, as after a reset\n"
           "  --unasked-after N    send it also right after the prompt for the Nth line,\n"
           "                       in the same burst (a second prompt, an alarm)\n"
           "  --unasked-at N       send it also just before the echo of the Nth byte\n"
           "                       received (a reset or an alarm while a line waits)\n"
           "  --answer-for N:TEXT  answer the Nth line with TEXT instead (escapes as for\n"
           "                       --answer), for an error\n"
           "  --garble-echo N      echo the Nth byte received with its lowest bit flipped,\n"
           "                       as line noise would\n"
           "  --upper-echo         echo letters in upper case\n"
           "  --report-rate        print \"vqsim: bytes at RATE baud\" on standard output\n"
           "                       when bytes arrive at a line rate other than the last\n"
           "  --strict             report on standard error each line whose first byte\n"
           "                       came before the prompt for the line before had gone out\n"
           "  --help               show this text\n"
           "  --version            show the version and exit\n"
           "\n"
           "Exit status: 0 on SIGTERM, SIGINT, SIGHUP or a hang-up option; 1 on a failure;\n"
           "2 on a bad option.\n";
}

}  // namespace vqsim
