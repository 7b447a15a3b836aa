// G-code file download: each line goes to the controller in lock-step, its
// echo and answer shown, the next line leaving only after the prompt.
//
// The file is read in blocks and a line is sent as it is read, so memory does
// not grow with the length of a line or of the file. A line longer than the
// send buffer goes out in pieces, each piece's echo read before the next piece
// is sent, so neither side's buffers can overflow.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/settings.h"
#include "jobs/jobs.h"
#include "link/link.h"
#include "platform/regular_file.h"

namespace {

constexpr std::size_t kBlockSize = 4096;  // file bytes read at a time
constexpr std::size_t kPieceSize = 256;   // line text sent before its echo is read

using Place = LineSplitter::Place;

// Sends part of a line that does not fit the send buffer and reads its echo.
// Waiting for the piece's own last byte ends the wait right after the echo, as
// the controller answers only once the line feed has come.
void send_piece(std::string_view piece) {
    send_text(piece);
    await_prompt(piece.back(), static_cast<int>(piece.size()));
}

// Sends the rest of a line's text and its line feed, then waits for the
// prompt. The line feed's echo is read as part of the answer.
void send_line_end(std::string_view text) {
    send_text(text);
    send_text("\n");
    await_prompt(settings.prompt_char, static_cast<int>(text.size()));
}

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
            if (c == '\n') splitter.place = Place::line_start;
            continue;
        }
        if (splitter.place == Place::line_start) {
            if (c == ';') {
                splitter.place = Place::skip;
                continue;
            }
            splitter.place = Place::text;
        }
        if (c == '\n') {
            splitter.held_cr = false;  // the line end was a carriage return and a line feed
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
    splitter = LineSplitter{};
    return open_line;
}

void download_file() {
    const char* path = settings.download_path.data();
    const char* reason = nullptr;
    const int fd = open_regular_file(path, reason);
    if (fd < 0) {
        std::printf("Cannot open G Code file '%s': %s\n", path, reason);
        return;
    }
    std::printf("\n-");

    std::array<char, kBlockSize> block;
    std::array<char, kPieceSize> piece;
    std::size_t stored = 0;  // text of the current line waiting in `piece`
    LineSplitter splitter;
    for (;;) {
        const ssize_t got = read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            // A line cut short is not completed: its text so far stays unsent
            // or, for a long line, is left without its line feed.
            std::printf("\nCannot read G Code file '%s': %s\n", path, std::strerror(errno));
            break;
        }
        if (got == 0) {
            if (finish_lines(splitter)) send_line_end({piece.data(), stored});
            break;
        }
        std::string_view input(block.data(), static_cast<std::size_t>(got));
        while (!input.empty()) {
            SplitResult step = split_lines(splitter, input, std::span(piece).subspan(stored));
            input.remove_prefix(step.used);
            stored += step.stored;
            if (step.line_ended) {
                send_line_end({piece.data(), stored});
                stored = 0;
            } else if (stored == piece.size()) {
                send_piece({piece.data(), stored});
                stored = 0;
            }
        }
    }
    close(fd);
}
