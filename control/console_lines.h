// The console input stream a line at a time: skip the rest of a line, take it
// into a buffer, or hold it aside for later. Built on the byte operations of
// platform/console.h, so the tests' stand-in console serves it too.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "control/text.h"
#include "platform/console.h"

// Reads the console input up to and including the next line end, so nothing
// more of that line runs as commands.
void discard_rest_of_line();

// How reading the rest of a console line ended.
enum class RestOfLine { complete, too_long, input_ended };

// Reads the rest of the console line, up to and including its line end, into
// `room`; `length` receives how many characters were stored. A rest that does
// not fit is read to its line end and thrown away (too_long).
RestOfLine read_rest_of_line(std::span<char> room, std::size_t& length);

// Console text kept aside while keys are read, in the order it was typed, to
// go back in front of the stream afterwards.
struct HeldLines {
    std::array<char, kConsolePushBackSize> text{};
    std::size_t length = 0;
};

// Which of the rest of a line hold_rest_of_line may wait for.
enum class Hold { whole_line, typed_already };

// Takes the rest of the current line, up to and including its line feed, into
// `held`. A carriage return does not end it here, so the line feed of a CR LF
// line end is held too rather than left to be taken as a key. With
// typed_already, only bytes already read from standard input are taken: never
// a key pressed later. A rest that does not fit is dropped whole, so no part
// of it is run later.
void hold_rest_of_line(HeldLines& held, Hold hold = Hold::whole_line);
// Puts the held text back in front of the console stream.
void release_held_lines(const HeldLines& held);
