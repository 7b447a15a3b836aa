// Command-line options and console commands: two fixed tables matched by a
// case-blind prefix of one or two letters, first match winning.
#include "control/commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/console_lines.h"
#include "control/settings.h"
#include "control/text.h"
#include "control/word.h"
#include "jobs/download.h"
#include "jobs/job_record.h"
#include "jobs/query.h"
#include "jobs/typed_line.h"
#include "jobs/vacuum_head.h"
#include "link/link.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/progress.h"
#include "platform/serial_port.h"
#include "platform/shown_text.h"
#include "platform/signals.h"

namespace {

constexpr int kPromptAfter = 1;
constexpr int kNoPrompt = 2;

// Exit statuses of option mode: everything ran through (the status the program
// always had), or an option was refused or stopped before its end.
constexpr int kRanThrough = 1;
constexpr int kStoppedEarly = 2;

// Whether the command being run went through. One that was refused or stopped
// ends its request: the rest of its console line, or the options after it,
// were written to follow a command that went through, so none of them runs.
bool request_ended = false;
// Why, for the line option mode prints about the options it leaves.
const char* end_reason = "";

int end_request(const char* reason) {
    request_ended = true;
    end_reason = reason;
    return kPromptAfter;
}

int refused() {
    return end_request("it could not be carried out as written");
}

struct Row {
    std::string_view letters;
    int (*action)(std::string_view text);
};

// The part of a command after its command letter.
std::string_view rest_of(std::string_view text) {
    return text.substr(1);
}

// Shows text the operator gave, at most a line's worth.
constexpr std::size_t kGivenShown = 60;
void print_given(std::string_view text) {
    print_shown(text.substr(0, kGivenShown));
    if (text.size() > kGivenShown) std::printf("...");
}

// A NUL would cut a file or channel name short where nobody sees it.
bool refused_for_nul(std::string_view text) {
    if (text.find('\0') == std::string_view::npos) return false;
    std::printf("Command contains a NUL character - ignored\n");
    return true;
}

int select_channel(std::string_view text) {
    if (refused_for_nul(text)) return refused();
    const std::int32_t port = parse_channel(rest_of(text));
    if (port == kUnrecognized) return refused();
    const int port_in_use = settings.port_number;
    settings.port_number = port;
    const bool opened = reopen_link(port_in_use);
    std::printf("Com channel set to COM%d,%d,N,1\n", settings.port_number + 1,
                rate_value(settings.rate_code));
    show_unfinished_job_once(settings.port_number);
    return opened ? kPromptAfter : end_request("the port did not open");
}

int select_rate(std::string_view text) {
    const std::int32_t rate = parse_rate(rest_of(text));
    if (rate == kUnrecognized) return refused();
    settings.rate_code = rate;
    return reopen_link(settings.port_number) ? kPromptAfter : end_request("the port did not open");
}

int download(std::string_view text) {
    if (refused_for_nul(text)) return refused();
    set_download_path(rest_of(text));  // fits: a command has at most 199 characters
    return download_file() ? kPromptAfter : end_request("the download did not run to the end");
}

// The line number after r: digits only, from 1, as many as a long holds.
long resume_line_of(std::string_view digits) {
    constexpr std::size_t kMostDigits = 9;
    if (digits.empty() || digits.size() > kMostDigits) return 0;
    long line = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        line = line * 10 + (c - '0');
    }
    return line;
}

}  // namespace

// rN1340: the line whose first word is N1340. A refused r also drops the
// resume armed before it: the operator meant to change it, so neither line is
// to be guessed at.
bool arm_resume(std::string_view rest) {
    const bool by_number = starts_ignoring_case(rest, "n");
    const long line = resume_line_of(by_number ? rest.substr(1) : rest);
    if (line < 1) {
        std::printf("Line to resume from must be a number from 1 to 999999999: '");
        print_given(rest);
        std::printf("' - ignored\n");
        drop_armed_resume();
        return false;
    }
    settings.resume_line = line;
    settings.resume_by_number = by_number ? kYes : kNo;
    return true;
}

namespace {

int resume_from(std::string_view text) {
    if (!arm_resume(rest_of(text))) return refused();
    std::printf(settings.resume_by_number == kYes
                    ? "The next download starts at its first line numbered N%ld\n"
                    : "The next download starts at its line %ld\n",
                settings.resume_line);
    return kPromptAfter;
}

int help(std::string_view) {
    print_help();
    return kPromptAfter;
}

const char* const kLineNotThrough = "the G-code line did not go through";

int numbered_line(std::string_view token) {
    JobScope job;
    return send_typed_line(token, true) ? kPromptAfter : end_request(kLineNotThrough);
}

int typed_line(std::string_view token) {
    JobScope job;
    return send_typed_line(token, false) ? kPromptAfter : end_request(kLineNotThrough);
}

// -gG28 sends n1 G28 and -nN1 G28 sends N1 G28, as g and n do for the line
// typed at the console.
int given_line(std::string_view text, bool numbered) {
    if (text.size() < 2) {
        std::printf("Option -%c needs a G-code line joined on: -gG28 or -nN1 G28\n", text[0]);
        return refused();
    }
    JobScope job;
    return send_given_line(rest_of(text), numbered) ? kPromptAfter : end_request(kLineNotThrough);
}

int numbered_option(std::string_view text) {
    return given_line(text, true);
}

int line_option(std::string_view text) {
    return given_line(text, false);
}

// The controller's last prompt serves, unless the query could not be made.
int query(std::string_view) {
    JobScope job;
    return query_controller() ? kNoPrompt : end_request("the query did not go through");
}

int vacuum_head(std::string_view) {
    return run_vacuum_head() ? kPromptAfter : end_request("a vacuum head move did not go through");
}

int quiet(std::string_view) {
    settings.output_mode = kQuietOutput;
    return kPromptAfter;
}

int nothing(std::string_view) {
    return kPromptAfter;
}

int leave(std::string_view) {
    close_and_exit();
}

// A G-code word typed without g or n in front (M03, X10) would otherwise
// vanish, or its neighbours run as commands.
int unknown_command(std::string_view token) {
    std::printf("Unknown command '");
    print_given(token);
    std::printf(
        "' - nothing of this line run or sent; type G-code with g or n in front: G01 X10, N1 "
        "M03 S1000\n");
    discard_rest_of_line();
    return kPromptAfter;
}

int unknown_option(std::string_view text) {
    std::printf("Unknown option -");
    print_given(text);
    std::printf(" - see vqdnc --help\n");
    return refused();
}

constexpr std::array<Row, 7> kOptions = {{
    {"c", select_channel},
    {"b", select_rate},
    {"f", download},
    {"g", numbered_option},
    {"n", line_option},
    {"h", help},
    {"r", resume_from},
}};

// "hf" and "ho" stand before "h", so words starting with them do not print the help.
constexpr std::array<Row, 13> kCommands = {{
    {"c", select_channel},
    {"b", select_rate},
    {"f", download},
    {"g", numbered_line},
    {"n", typed_line},
    {"i", query},
    {"hf", nothing},
    {"ho", nothing},
    {"v", vacuum_head},
    {"q", quiet},
    {"r", resume_from},
    {"h", help},
    {"e", leave},
}};

// Runs the first row that matches. A Ctrl-C during its job ends the request
// even when the job could finish what it had begun.
template <std::size_t N>
int run_row(const std::array<Row, N>& table, std::string_view text,
            int (*unknown)(std::string_view)) {
    request_ended = false;
    take_job_stop();  // one that came during an earlier request is spent
    int (*action)(std::string_view) = unknown;
    for (const Row& row : table) {
        if (starts_ignoring_case(text, row.letters)) {
            action = row.action;
            break;
        }
    }
    const int result = action(text);
    if (take_job_stop() && !request_ended) {
        std::printf("\nStopped (Ctrl-C)\n");
        end_request("stopped with Ctrl-C");
    }
    return result;
}

struct ConsoleSource {
    int peek() { return console_peek(); }
    int get() { return console_get(); }
};

// After a request that ended early, the rest of its console line is taken and
// not run. On a terminal only what was typed already is taken, never a line
// typed afterwards; from a pipe or a file, up to the line's end.
void drop_rest_of_request() {
    if (!console_mid_line()) return;
    std::array<char, kGivenShown + 1> rest;  // one more tells that the rest goes on
    std::size_t taken = 0;
    const bool typed = keys_from_terminal();
    while (!typed || console_buffered()) {
        const int c = console_get();
        if (c == kConsoleEnd || is_line_end(c)) break;
        if (taken == 0 && is_blank(c)) continue;
        if (taken == 0) std::printf("Rest of the line not run: ");
        if (taken < rest.size()) rest[taken] = static_cast<char>(c);
        ++taken;
    }
    if (taken == 0) return;
    print_given({rest.data(), std::min(taken, rest.size())});
    std::printf("\n");
}

// An argument that is no option, or too long to be one, is refused like an
// option that cannot be carried out.
void run_argument(std::string_view argument) {
    request_ended = false;
    if (argument.empty() || argument[0] != '-') {
        std::printf("Not an option: '");
        print_given(argument);
        std::printf("' - options begin with '-' (see vqdnc --help)\n");
        refused();
    } else if (argument.size() >= kTokenSize) {
        std::printf("Option too long (%zu characters at most) - not run\n", kTokenSize - 1);
        refused();
    } else {
        run_option(argument.substr(1));
    }
}

void show_setup_hint() {
    if (settings.link_error != kYes) return;
    std::printf("\nSerial Port setup error - set default serial port\n");
    std::printf("by creating file called dnconfig.txt with single line\n");
    std::printf("containing:    comchannel comx \n\n-");
    settings.link_error = kNo;
}

}  // namespace

int run_option(std::string_view text) {
    run_row(kOptions, text, unknown_option);
    return 1;
}

int run_command(std::string_view token) {
    return run_row(kCommands, token, unknown_command);
}

void print_version() {
    std::printf("VQ318G DNC Program V%d.%.2d\n", 1, 5);
}

void print_banner() {
    print_version();
    std::printf("DNC link for the VQ318 motion controller - (c) the vqdnc developers\n");
    std::printf("Type 'e' to exit, 'h' for help)\n");
}

void print_help() {
    std::printf("Command options:\n\n");
    std::printf("  -ffilename  - download G Code file 'filename'\n");
    std::printf("  -gxxxxx     - Send G Code command(s) to VQ318\n");
    std::printf("  -nxxxxx     - Send G Code command(s) to VQ318\n");
    std::printf("  -a          - Read eight analog target channels\n");
    std::printf("  -cCOMx      - Set serial communication channel to COMx\n");
    std::printf("  -bnnnn      - Set baud rate to nnnn (2400-57200 default 19200)\n");
    std::printf("  -h          - output help menu\n\n");
    std::printf("  G Code files can contain comments ';' \n\n");
}

void close_and_exit(int status, int status_after_stop_word) {
    if (show_arrived_text()) status = status_after_stop_word;
    serial_close(settings.port_number);
    std::exit(status);
}

void close_before_signal_end() {
    progress_end();
    job_record_end(JobOutcome::signalled);
    key_mode_off();
    serial_close(settings.port_number);
}

bool run_console_word(int (*run)(std::string_view token)) {
    ConsoleSource console;
    Word<kTokenSize> token = read_word<kTokenSize>(console);
    if (token.ended) return false;
    if (token.too_long) {
        // Its tail might be a G-code word or a file name: run none of it.
        std::printf("Command too long (%zu characters at most) - line ignored\n", kTokenSize - 1);
        discard_rest_of_line();
        std::printf("\n-");
        return true;
    }
    const int result = run(token.view());
    if (request_ended) drop_rest_of_request();
    if (result == kPromptAfter) std::printf("\n-");
    return true;
}

void run_console() {
    std::printf("  Use COM%d,%d,N,1 - change using c or b commands\n", settings.port_number + 1,
                rate_value(settings.rate_code));
    show_unfinished_job_once(settings.port_number);
    std::printf("\n-");
    open_link();
    show_setup_hint();
    while (run_console_word()) {
    }
    close_and_exit();
}

int run_check(int argc, char** argv) {
    const bool resume = argc == 4 && starts_ignoring_case(argv[3], "-r");
    if (argc < 3 || (argc > 3 && !resume)) {
        std::printf("Usage: vqdnc --check FILE [-rN | -rNnnnn] - see vqdnc --help\n");
        return 2;
    }
    set_defaults();  // the configured rate
    if (resume && !arm_resume(std::string_view(argv[3]).substr(2))) return 2;
    return check_download(argv[2]) ? 0 : 2;
}

void run_options(int argc, char** argv) {
    show_unfinished_job_once(settings.port_number);
    open_link();
    show_setup_hint();
    int status = kRanThrough;
    for (int i = 1; i < argc && status == kRanThrough; ++i) {
        run_argument(argv[i]);
        if (!request_ended) continue;
        status = kStoppedEarly;
        if (i + 1 < argc) {
            std::printf("Options after ");
            print_given(argv[i]);
            std::printf(" not run: %s\n", end_reason);
        }
    }
    close_and_exit(status, kStoppedEarly);
}
