// Splitting a G-code file into the lines that are sent, a block at a time.
#include "jobs/line_splitter.h"

namespace {

using Place = LineSplitter::Place;

}  // namespace

SplitResult split_lines(LineSplitter& splitter, std::string_view input, std::span<char> out) {
    SplitResult result;
    auto end_line = [&](Place next) {
        splitter.place = next;
        result.line_ended = true;
        return result;
    };
    for (; result.used < input.size(); ++result.used) {
        const char c = input[result.used];
        if (splitter.place == Place::skip) {
            if (c == '\n') {
                ++splitter.line_feeds;
                splitter.place = Place::line_start;
            }
            continue;
        }
        if (splitter.place == Place::line_start) {
            if (c == ';') {
                splitter.place = Place::skip;
                continue;
            }
            splitter.place = Place::text;
            splitter.line = splitter.line_feeds + 1;
        }
        if (c == '\n') {
            splitter.held_cr = false;  // the line end was a carriage return and a line feed
            ++splitter.line_feeds;
            ++result.used;
            return end_line(Place::line_start);
        }
        if (splitter.held_cr) {
            // Not before a line feed: the carriage return is line text.
            if (result.stored == out.size()) return result;
            out[result.stored++] = '\r';
            splitter.held_cr = false;
        }
        if (c == '\0') {
            ++result.used;
            return end_line(Place::skip);
        }
        if (c == '\r') {
            splitter.held_cr = true;
            continue;
        }
        if (result.stored == out.size()) return result;
        out[result.stored++] = c;
    }
    return result;
}

bool finish_lines(LineSplitter& splitter) {
    const bool open_line = splitter.place == Place::text;
    // The end of the file ends the line like a line feed, so a carriage return
    // just before it is dropped too.
    splitter.place = Place::line_start;
    splitter.held_cr = false;
    return open_line;
}
