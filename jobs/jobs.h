// What the operator asks the controller to do.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// Sends the file named by download_path line by line in lock-step.
void download_file();

// How reading the rest of a typed console line ended.
enum class RestOfLine { complete, too_long, input_ended };

// Reads the rest of the console line, up to and including its line end, into
// `room`; `length` receives how many characters were stored. A rest that does
// not fit is read to its line end and thrown away (too_long).
RestOfLine read_rest_of_line(std::span<char> room, std::size_t& length);
// The g and n console commands: sends the typed line, with "n1 " in front when
// `numbered` is set, and waits for the controller's prompt.
void send_typed_line(std::string_view token, bool numbered);

// The v command: single keys drive the vacuum pick-and-place head.
void run_vacuum_head();
