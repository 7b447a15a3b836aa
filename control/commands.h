// The two command tables and the program's own texts.
#pragma once

#include <string_view>

inline constexpr std::size_t kTokenSize = 200;  // 199 characters and the terminator

// Carries out one command-line option, given without its leading '-'.
int run_option(std::string_view text);
// Carries out one console word: 1 when the console prompt follows, 2 when not.
int run_command(std::string_view token);

void print_banner();
void print_help();
// The first line of the banner, which names the version.
void print_version();

// Reads one console word and carries it out with `run`, then prints the
// prompt when its result asks for one. A word too long to keep is refused
// with the rest of its line. False, with nothing run, once the input has ended.
bool run_console_word(int (*run)(std::string_view token) = run_command);

// Console mode: the start-up lines, the port, then words until the input ends.
[[noreturn]] void run_console();
// Sets the line the next download starts at from the text after r ("1340",
// "N1340"); false, said, when it names no line.
bool arm_resume(std::string_view rest);
// vqdnc --check FILE [-rN]: what a download of FILE would send, without a
// port. Returns the exit status.
int run_check(int argc, char** argv);
// Option mode: the port, then each argument in turn.
[[noreturn]] void run_options(int argc, char** argv);
// Shows what the controller sent after its last prompt, closes the port and
// ends the program with `status`, or `status_after_stop_word` when that text
// held a stop word.
[[noreturn]] void close_and_exit(int status = 1, int status_after_stop_word = 1);
// What the program does before it ends on a signal: closes the port and gives
// the console back.
void close_before_signal_end();
