// Command-line options and console commands: two fixed tables matched by a
// case-blind prefix of one or two letters, first match winning.
#include "control/commands.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/settings.h"
#include "control/text.h"
#include "control/word.h"
#include "jobs/download.h"
#include "jobs/typed_line.h"
#include "jobs/vacuum_head.h"
#include "link/link.h"
#include "platform/console.h"
#include "platform/console_lines.h"
#include "platform/keyboard.h"
#include "platform/progress.h"
#include "platform/serial_port.h"
#include "platform/signals.h"

namespace {

constexpr int kPromptAfter = 1;
constexpr int kNoPrompt = 2;

// Exit statuses of option mode: everything ran through (the status the program
// always had), or a download stopped early or could not reach the controller.
constexpr int kRanThrough = 1;
constexpr int kStoppedEarly = 2;
// A download did not run to the end of its file: the options after it are
// not run, and the program ends with kStoppedEarly.
bool download_failed = false;

struct Row {
    std::string_view letters;
    int (*action)(std::string_view text);
};

// The part of a command after its command letter.
std::string_view rest_of(std::string_view text) {
    return text.substr(1);
}

// A NUL would cut a file or channel name short where nobody sees it.
bool refused_for_nul(std::string_view text) {
    if (text.find('\0') == std::string_view::npos) return false;
    std::printf("Command contains a NUL character - ignored\n");
    return true;
}

int select_channel(std::string_view text) {
    if (refused_for_nul(text)) return kPromptAfter;
    int port_in_use = settings.port_number;
    settings.port_number = parse_channel(rest_of(text));
    reopen_link(port_in_use);
    std::printf("Com channel set to COM%d,%d,N,1\n", settings.port_number + 1,
                rate_value(settings.rate_code));
    return kPromptAfter;
}

int select_rate(std::string_view text) {
    settings.rate_code = parse_rate(rest_of(text));
    reopen_link(settings.port_number);
    return kPromptAfter;
}

int download(std::string_view text) {
    if (refused_for_nul(text)) return kPromptAfter;
    set_download_path(rest_of(text));  // fits: a command has at most 199 characters
    if (!download_file()) download_failed = true;
    return kPromptAfter;
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

// rN1340: the line whose first word is N1340.
int resume_from(std::string_view text) {
    const std::string_view rest = rest_of(text);
    const bool by_number = starts_ignoring_case(rest, "n");
    const long line = resume_line_of(by_number ? rest.substr(1) : rest);
    if (line < 1) {
        std::printf("Line to resume from must be a number from 1 to 999999999: '%.*s' - ignored\n",
                    static_cast<int>(text.size() - 1), text.data() + 1);
        return kPromptAfter;
    }
    settings.resume_line = line;
    settings.resume_by_number = by_number ? kYes : kNo;
    std::printf(by_number ? "The next download starts at its first line numbered N%ld\n"
                          : "The next download starts at its line %ld\n",
                line);
    return kPromptAfter;
}

int help(std::string_view) {
    print_help();
    return kPromptAfter;
}

int numbered_line(std::string_view token) {
    JobScope job;
    send_typed_line(token, true);
    return kPromptAfter;
}

int typed_line(std::string_view token) {
    JobScope job;
    send_typed_line(token, false);
    return kPromptAfter;
}

// The controller's last prompt serves, unless the query could not be made.
int query(std::string_view) {
    JobScope job;
    return query_controller() ? kNoPrompt : kPromptAfter;
}

int vacuum_head(std::string_view) {
    run_vacuum_head();
    return kPromptAfter;
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

constexpr std::array<Row, 5> kOptions = {{
    {"c", select_channel},
    {"b", select_rate},
    {"f", download},
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

template <std::size_t N>
int run_row(const std::array<Row, N>& table, std::string_view text) {
    for (const Row& row : table) {
        if (starts_ignoring_case(text, row.letters)) return row.action(text);
    }
    return kPromptAfter;
}

struct ConsoleSource {
    int peek() { return console_peek(); }
    int get() { return console_get(); }
};

void show_setup_hint() {
    if (settings.link_error != kYes) return;
    std::printf("\nSerial Port setup error - set default serial port\n");
    std::printf("by creating file called dnconfig.txt with single line\n");
    std::printf("containing:    comchannel comx \n\n-");
    settings.link_error = kNo;
}

}  // namespace

int run_option(std::string_view text) {
    run_row(kOptions, text);
    return 1;
}

int run_command(std::string_view token) {
    return run_row(kCommands, token);
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

void close_and_exit(int status) {
    serial_close(settings.port_number);
    std::exit(status);
}

void close_before_signal_end() {
    progress_end();
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
    if (run(token.view()) == kPromptAfter) std::printf("\n-");
    return true;
}

void run_console() {
    std::printf("  Use COM%d,%d,N,1 - change using c or b commands\n", settings.port_number + 1,
                rate_value(settings.rate_code));
    std::printf("\n-");
    open_link();
    show_setup_hint();
    while (run_console_word()) {
    }
    close_and_exit();
}

void run_options(int argc, char** argv) {
    open_link();
    show_setup_hint();
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument.empty() || argument[0] != '-') continue;
        if (argument.size() >= kTokenSize) {
            std::printf("Option too long (%zu characters at most) - ignored\n", kTokenSize - 1);
            continue;
        }
        run_option(argument.substr(1));
        if (download_failed && i + 1 < argc) {
            std::printf("Options after %s not run: the download did not run to the end\n", argv[i]);
            break;
        }
    }
    close_and_exit(download_failed ? kStoppedEarly : kRanThrough);
}
