// G-code file download: each line goes to the controller in lock-step, its
// echo and answer shown, the next line leaving only after the prompt.
//
// The file is read in blocks and a line is sent as it is read, so memory does
// not grow with the length of a line or of the file. A line longer than the
// send buffer goes out in pieces, each piece's echo read before the next piece
// is sent, so neither side's buffers can overflow.
//
// Lines are counted as an editor counts them, so that a download that ends
// early can say which file line the controller acknowledged last and how to
// resume from the first line it did not.
#include "jobs/download.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/settings.h"
#include "jobs/job_record.h"
#include "jobs/line_splitter.h"
#include "jobs/modal_state.h"
#include "link/link.h"
#include "platform/progress.h"
#include "platform/regular_file.h"
#include "platform/signals.h"

namespace {

constexpr std::size_t kBlockSize = 4096;  // file bytes read at a time
constexpr std::size_t kPieceSize = 256;   // line text sent before its echo is read
constexpr std::size_t kShownText = 40;    // of a line's text in a report

// Line text waiting to be sent, with room for its line feed.
struct Piece {
    std::array<char, kPieceSize + 1> text;
    std::size_t stored = 0;
};

// The start of a line's text, as a report shows it.
struct LineHead {
    std::array<char, kShownText + 1> text{};
    std::size_t length = 0;
    bool cut = false;  // the line goes on past what is kept
};

// Where the download stands, in file lines.
struct Standing {
    long first_line = 1;    // where this download started
    long line = 0;          // the line being sent
    bool in_line = false;   // part of its text has been taken from the file
    LineHead head;          // of the line being sent
    long acknowledged = 0;  // the last line whose prompt came; 0: none yet
    LineHead acknowledged_head;
    long unanswered = 0;  // the first line after it that went out whole; 0: none
};

// The file, a block at a time.
struct Reader {
    int fd = -1;
    std::array<char, kBlockSize> block;
    std::int64_t bytes_read = 0;
};

enum class Outcome { done, read_failed, link_down, stopped };

enum class Read { data, end, failed };

Read read_block(Reader& reader, const char* path, std::string_view& input) {
    for (;;) {
        const ssize_t got = read(reader.fd, reader.block.data(), reader.block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            std::printf("\nCannot read G Code file '%s': %s\n", path, std::strerror(errno));
            return Read::failed;
        }
        reader.bytes_read += got;
        input = std::string_view(reader.block.data(), static_cast<std::size_t>(got));
        return got == 0 ? Read::end : Read::data;
    }
}

// Control characters would act on the terminal rather than show.
void keep_head(LineHead& head, std::string_view text) {
    for (char c : text) {
        if (head.length == kShownText) {
            head.cut = true;
            return;
        }
        const unsigned char byte = static_cast<unsigned char>(c);
        head.text[head.length++] = byte < 0x20 || byte == 0x7f ? '?' : c;
    }
}

// Notes text of the current line taken from the file; a new line starts here.
void note_line_text(Standing& at, const LineSplitter& splitter, std::string_view text,
                    const Reader& reader, std::size_t unread) {
    if (!at.in_line) {
        at.in_line = true;
        at.line = splitter.line;
        at.head = LineHead{};
        progress_update(at.line, reader.bytes_read - static_cast<std::int64_t>(unread));
    }
    keep_head(at.head, text);
}

// Sends part of a line that does not fit the send buffer and reads its echo,
// counted, not matched: the controller answers only once the line feed has
// come, and its echo may differ from what was sent (upper case).
Outcome send_piece(Piece& piece) {
    const std::string_view text(piece.text.data(), piece.stored);
    piece.stored = 0;
    if (!send_text(text)) return Outcome::link_down;
    const std::int64_t result = await_echo(static_cast<int>(text.size()));
    if (result == kLinkDown) return Outcome::link_down;
    return result == kWaitAbandoned ? Outcome::stopped : Outcome::done;
}

// Sends the rest of a line's text with its line feed, in one write, then waits
// for the prompt. The line feed's echo is read as part of the answer.
Outcome send_line_end(Piece& piece, Standing& at) {
    const int echo_count = static_cast<int>(piece.stored);
    piece.text[piece.stored] = '\n';
    const std::string_view line(piece.text.data(), piece.stored + 1);
    piece.stored = 0;
    at.in_line = false;
    if (!send_text(line)) return Outcome::link_down;
    if (at.unanswered == 0) at.unanswered = at.line;
    job_record_line_sent(at.line);
    const std::int64_t result = await_prompt(settings.prompt_char, echo_count);
    if (result == 0) {
        at.acknowledged = at.line;
        at.acknowledged_head = at.head;
        at.unanswered = 0;
        job_record_acknowledged(at.line, {at.head.text.data(), at.head.length}, at.head.cut);
    }
    // After a time-out the next line goes as if the prompt had come.
    if (result == kLinkDown) return Outcome::link_down;
    return result == kWaitAbandoned ? Outcome::stopped : Outcome::done;
}

// Splits the file into lines and sends them, until its end or a failure.
Outcome send_file(Reader& reader, const char* path, LineSplitter& splitter, std::string_view input,
                  Standing& at) {
    Piece piece;
    for (;;) {
        while (!input.empty()) {
            std::span<char> room(piece.text.data() + piece.stored, kPieceSize - piece.stored);
            SplitResult step = split_lines(splitter, input, room);
            input.remove_prefix(step.used);
            const bool text_taken = step.stored > 0 || step.line_ended;
            // Ctrl-C stops the download before a line of which nothing went out.
            if (text_taken && !at.in_line && stop_asked()) return Outcome::stopped;
            if (text_taken)
                note_line_text(at, splitter, {room.data(), step.stored}, reader, input.size());
            piece.stored += step.stored;
            Outcome sent = Outcome::done;
            if (step.line_ended) {
                sent = send_line_end(piece, at);
            } else if (piece.stored == kPieceSize) {
                job_record_line_begun(at.line);
                sent = send_piece(piece);
            }
            if (sent != Outcome::done) return sent;
        }
        const Read got = read_block(reader, path, input);
        if (got == Read::failed) return Outcome::read_failed;
        if (got == Read::end) {
            if (!finish_lines(splitter)) return Outcome::done;
            if (!at.in_line && stop_asked()) return Outcome::stopped;
            if (!at.in_line) note_line_text(at, splitter, {}, reader, 0);
            return send_line_end(piece, at);
        }
    }
}

// Takes the lines before `first_line` from `input` without sending them,
// noting the modal words they leave. Returns the bytes taken.
std::size_t skip_lines(LineSplitter& splitter, ModalState& modal, std::string_view input,
                       long first_line) {
    std::size_t used = 0;
    while (used < input.size() && splitter.line_feeds < first_line - 1) {
        const void* found = std::memchr(input.data() + used, '\n', input.size() - used);
        const std::size_t end =
            found == nullptr
                ? input.size()
                : static_cast<std::size_t>(static_cast<const char*>(found) - input.data()) + 1;
        scan_modal_words(modal, input.substr(used, end - used));
        if (found != nullptr) ++splitter.line_feeds;
        splitter.place =
            found != nullptr ? LineSplitter::Place::line_start : LineSplitter::Place::text;
        used = end;
    }
    return used;
}

enum class Skip { done, file_ended, failed };

// Reads up to `first_line` and says what was skipped. The rest of the block
// that was read is left in `input`.
Skip skip_to_first_line(Reader& reader, const char* path, LineSplitter& splitter,
                        std::string_view& input, long first_line) {
    ModalState modal;
    // Past the lines skipped, a line must be there to send from.
    while (splitter.line_feeds < first_line - 1 || input.empty()) {
        const Read got = read_block(reader, path, input);
        if (got == Read::failed) return Skip::failed;
        if (got == Read::end) {
            const long lines = splitter.line_feeds + (splitter.place == LineSplitter::Place::text);
            std::printf("'%s' has %ld lines: nothing to send from line %ld on\n", path, lines,
                        first_line);
            return Skip::file_ended;
        }
        input.remove_prefix(skip_lines(splitter, modal, input, first_line));
    }
    splitter.place = LineSplitter::Place::line_start;
    char words[kModalGroups * (kModalWordSize + 1) + 1];
    describe_modal_state(modal, words, sizeof words);
    std::printf("Lines 1-%ld of '%s' skipped, none of them sent; the modal words they leave: %s\n",
                first_line - 1, path, words);
    return Skip::done;
}

void print_head(const LineHead& head) {
    std::printf("%.*s%s", static_cast<int>(head.length), head.text.data(), head.cut ? "..." : "");
}

// The one report of a download that ended before the end of its file.
void report_early_end(const char* path, const Standing& at, Outcome outcome) {
    std::printf(outcome == Outcome::stopped ? "\nDownload of '%s' stopped by the operator: "
                                            : "Download of '%s' stopped: ",
                path);
    if (at.acknowledged > 0) {
        std::printf("the controller acknowledged line %ld last (", at.acknowledged);
        print_head(at.acknowledged_head);
        std::printf(")\n");
    } else {
        std::printf("the controller acknowledged none of its lines\n");
    }
    if (at.unanswered > 0)
        std::printf(
            "  Line %ld went out whole but its prompt did not come: the controller may or may "
            "not have run it\n",
            at.unanswered);
    const long resume = at.acknowledged > 0 ? at.acknowledged + 1 : at.first_line;
    std::printf("  To resume: r%ld then f%s (options: -r%ld -f%s)\n", resume, path, resume, path);
}

// The file size for the status line; 0 when unknown.
std::int64_t file_size(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : 0;
}

// How the job record names the way a download ended.
JobOutcome job_outcome(Outcome outcome) {
    switch (outcome) {
        case Outcome::done:
            return JobOutcome::done;
        case Outcome::read_failed:
            return JobOutcome::read_failed;
        case Outcome::link_down:
            return JobOutcome::link_lost;
        case Outcome::stopped:
            return JobOutcome::stopped;
    }
    return JobOutcome::running;
}

// Runs the download on the open file.
bool download_open_file(Reader& reader, const char* path, long first_line) {
    LineSplitter splitter;
    std::string_view input;
    if (first_line > 1) {
        const Skip skipped = skip_to_first_line(reader, path, splitter, input, first_line);
        if (skipped != Skip::done) return skipped == Skip::file_ended;
    }
    job_record_begin(path, reader.fd, first_line);
    std::printf("\n-");
    Standing at;
    at.first_line = first_line;
    progress_begin(path, file_size(reader.fd));
    const Outcome outcome = send_file(reader, path, splitter, input, at);
    progress_end();
    job_record_end(job_outcome(outcome));
    if (outcome == Outcome::done) return true;
    // A line cut short by a read error is not completed: its text so far stays
    // unsent or, for a long line, is held at the controller without its end.
    if (outcome == Outcome::read_failed) hold_unfinished_line();
    report_early_end(path, at, outcome);
    return false;
}

}  // namespace

void drop_armed_resume() {
    if (settings.resume_line == 0) return;
    std::printf("Resume from line %ld dropped - give r%ld again before the f it is for\n",
                settings.resume_line, settings.resume_line);
    settings.resume_line = 0;
}

bool download_file() {
    const char* path = settings.download_path.data();
    if (path[0] == '\0') {
        std::printf("No file name after f - give it joined on: fpart.nc (option -fpart.nc)\n");
        drop_armed_resume();
        return false;
    }
    if (!ensure_link()) {
        drop_armed_resume();
        return false;
    }
    const char* reason = nullptr;
    Reader reader;
    reader.fd = open_regular_file(path, reason);
    if (reader.fd < 0) {
        std::printf("Cannot open G Code file '%s': %s\n", path, reason);
        drop_armed_resume();
        return false;
    }
    const long first_line = settings.resume_line > 0 ? settings.resume_line : 1;
    settings.resume_line = 0;
    JobScope job;
    const bool whole = download_open_file(reader, path, first_line);
    close(reader.fd);
    return whole;
}
