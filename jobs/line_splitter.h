// A G-code file split into the lines that are sent.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// Splits the bytes of a G-code file into the line texts that are sent, a block
// at a time, so that a line of any length passes through fixed buffers.
// Only a line feed ends a line, and a carriage return just before it is
// dropped; the end of the file ends a last line that has no line feed.
// A line starting with ';' is a comment and yields nothing. A NUL ends the
// text of its line; the rest of that line is dropped.
// Lines are counted as an editor counts them, comments and empty lines too.
struct LineSplitter {
    enum class Place : unsigned char { line_start, text, skip };
    Place place = Place::line_start;
    bool held_cr = false;  // a carriage return not yet known to stand before a line feed
    long line_feeds = 0;   // line feeds taken so far
    long line = 0;         // the file line, from 1, whose text is being split
};

struct SplitResult {
    std::size_t used = 0;     // input bytes taken
    std::size_t stored = 0;   // text bytes stored in the output
    bool line_ended = false;  // the text of the current line is complete
};

// Takes bytes from `input` and stores line text in `out`, which must not be
// empty. Stops once a line has ended, when `out` is full, or at the end of
// `input`; the caller passes the unused rest again.
SplitResult split_lines(LineSplitter& splitter, std::string_view input, std::span<char> out);
// At the end of the file: true when a last line without a line feed ends here.
bool finish_lines(LineSplitter& splitter);
