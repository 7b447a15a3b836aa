// G-code file download: each line goes to the controller in lock-step, its
// echo and answer shown, the next line leaving only after the prompt.
//
// The file is read in blocks and a line is sent as it is read, so memory does
// not grow with the length of a line or of the file. A line longer than the
// send buffer goes out in pieces, each piece's echo read before the next piece
// is sent, so neither side's buffers can overflow.
#include "jobs/download.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/settings.h"
#include "jobs/line_splitter.h"
#include "link/link.h"
#include "platform/regular_file.h"

namespace {

constexpr std::size_t kBlockSize = 4096;  // file bytes read at a time
constexpr std::size_t kPieceSize = 256;   // line text sent before its echo is read

// Line text waiting to be sent, with room for its line feed.
struct Piece {
    std::array<char, kPieceSize + 1> text;
    std::size_t stored = 0;
    long lines_whole = 0;  // lines whose line feed went out
};

enum class Outcome { done, read_failed, link_down };

// Sends part of a line that does not fit the send buffer and reads its echo,
// counted, not matched: the controller answers only once the line feed has
// come, and its echo may differ from what was sent (upper case).
bool send_piece(Piece& piece) {
    const std::string_view text(piece.text.data(), piece.stored);
    piece.stored = 0;
    return send_text(text) && await_echo(static_cast<int>(text.size())) != kLinkDown;
}

// Sends the rest of a line's text with its line feed, in one write, then waits
// for the prompt. The line feed's echo is read as part of the answer.
bool send_line_end(Piece& piece) {
    const int echo_count = static_cast<int>(piece.stored);
    piece.text[piece.stored] = '\n';
    const std::string_view line(piece.text.data(), piece.stored + 1);
    piece.stored = 0;
    if (!send_text(line)) return false;
    ++piece.lines_whole;
    return await_prompt(settings.prompt_char, echo_count) != kLinkDown;
}

// Splits the file into lines and sends them, until its end or a failure.
Outcome send_file(int fd, const char* path, Piece& piece) {
    std::array<char, kBlockSize> block;
    LineSplitter splitter;
    for (;;) {
        const ssize_t got = read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            std::printf("\nCannot read G Code file '%s': %s\n", path, std::strerror(errno));
            return Outcome::read_failed;
        }
        if (got == 0) {
            if (finish_lines(splitter) && !send_line_end(piece)) return Outcome::link_down;
            return Outcome::done;
        }
        std::string_view input(block.data(), static_cast<std::size_t>(got));
        while (!input.empty()) {
            std::span<char> room(piece.text.data() + piece.stored, kPieceSize - piece.stored);
            SplitResult step = split_lines(splitter, input, room);
            input.remove_prefix(step.used);
            piece.stored += step.stored;
            bool sent = true;
            if (step.line_ended) {
                sent = send_line_end(piece);
            } else if (piece.stored == kPieceSize) {
                sent = send_piece(piece);
            }
            if (!sent) return Outcome::link_down;
        }
    }
}

}  // namespace

void download_file() {
    if (!ensure_link()) return;
    const char* path = settings.download_path.data();
    const char* reason = nullptr;
    const int fd = open_regular_file(path, reason);
    if (fd < 0) {
        std::printf("Cannot open G Code file '%s': %s\n", path, reason);
        return;
    }
    std::printf("\n-");

    Piece piece;
    const Outcome outcome = send_file(fd, path, piece);
    close(fd);
    // A line cut short by a read error is not completed: its text so far stays
    // unsent or, for a long line, is held at the controller without its end.
    if (outcome == Outcome::read_failed) hold_unfinished_line();
    if (outcome == Outcome::link_down)
        std::printf("Download of '%s' stopped: %ld lines sent whole\n", path, piece.lines_whole);
}
