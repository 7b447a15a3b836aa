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

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/regular_file.h"
#include "control/settings.h"
#include "jobs/job_record.h"
#include "jobs/line_splitter.h"
#include "jobs/restart.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/progress.h"
#include "platform/shown_text.h"
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
    long sent = 0;        // lines that went out whole
};

// The file, a block at a time.
struct Reader {
    int fd = -1;
    std::array<char, kBlockSize> block;
    std::int64_t bytes_read = 0;
};

// lock_step_lost: the echo differed; silent: no byte came for REPLY_TIMEOUT_MS.
// refused: the line's answer held a stop word; halted: what the controller
// sent unasked before the line did, and the line was not sent.
enum class Outcome {
    done,
    read_failed,
    link_down,
    stopped,
    lock_step_lost,
    silent,
    refused,
    halted
};

enum class Read { data, end, failed };

Read read_block(Reader& reader, const char* path, std::string_view& input) {
    for (;;) {
        const ssize_t got = read(reader.fd, reader.block.data(), reader.block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            std::printf("\nCannot read G Code file '%s': %s\n", shown(path).c_str(),
                        std::strerror(errno));
            return Read::failed;
        }
        reader.bytes_read += got;
        input = std::string_view(reader.block.data(), static_cast<std::size_t>(got));
        return got == 0 ? Read::end : Read::data;
    }
}

// Shown when printed, so that no byte acts on the terminal.
void keep_head(LineHead& head, std::string_view text) {
    for (char c : text) {
        if (head.length == kShownText) {
            head.cut = true;
            return;
        }
        head.text[head.length++] = c;
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

Outcome not_sent() {
    return refused_for_stop_word() ? Outcome::halted : Outcome::link_down;
}

Outcome outcome_of_wait(std::int64_t result) {
    if (result == 0) return Outcome::done;
    if (result == kLinkDown) return Outcome::link_down;
    if (result == kWaitAbandoned) return Outcome::stopped;
    if (result > 0) return Outcome::silent;
    return result == kStopWord ? Outcome::refused : Outcome::lock_step_lost;
}

// Sends part of a line that does not fit the send buffer and reads its echo:
// the controller answers only once the line feed has come.
Outcome send_piece(Piece& piece) {
    const std::string_view text(piece.text.data(), piece.stored);
    piece.stored = 0;
    if (!send_text(text)) return not_sent();
    return outcome_of_wait(await_echo(static_cast<int>(text.size())));
}

// Sends the rest of a line's text with its line feed, in one write, then waits
// for the prompt. The line feed's echo is read as part of the answer, and the
// prompt is awaited after it, also when the text ends in the prompt character.
Outcome send_line_end(Piece& piece, Standing& at) {
    const int echo_count = static_cast<int>(piece.stored);
    piece.text[piece.stored] = '\n';
    const std::string_view line(piece.text.data(), piece.stored + 1);
    piece.stored = 0;
    at.in_line = false;
    if (!send_text(line)) return not_sent();
    ++at.sent;
    if (at.unanswered == 0) at.unanswered = at.line;
    job_record_line_sent(at.line);
    const std::int64_t result = await_prompt(settings.prompt_char, echo_count);
    if (result == 0) {
        at.acknowledged = at.line;
        at.acknowledged_head = at.head;
        job_record_acknowledged(at.line, {at.head.text.data(), at.head.length}, at.head.cut);
    }
    if (result == 0 || result == kStopWord) at.unanswered = 0;  // its prompt came
    return outcome_of_wait(result);
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

// Takes the lines before `first_line` from `input` without sending them.
// Returns the bytes taken.
std::size_t skip_lines(LineSplitter& splitter, std::string_view input, long first_line) {
    std::size_t used = 0;
    while (used < input.size() && splitter.line_feeds < first_line - 1) {
        const void* found = std::memchr(input.data() + used, '\n', input.size() - used);
        const std::size_t end =
            found == nullptr
                ? input.size()
                : static_cast<std::size_t>(static_cast<const char*>(found) - input.data()) + 1;
        if (found != nullptr) ++splitter.line_feeds;
        splitter.place =
            found != nullptr ? LineSplitter::Place::line_start : LineSplitter::Place::text;
        used = end;
    }
    return used;
}

enum class Skip { done, file_ended, failed };

// Reads up to `first_line`. The rest of the block that was read is left in
// `input`.
Skip skip_to_first_line(Reader& reader, const char* path, LineSplitter& splitter,
                        std::string_view& input, long first_line) {
    // Past the lines skipped, a line must be there to send from.
    while (splitter.line_feeds < first_line - 1 || input.empty()) {
        const Read got = read_block(reader, path, input);
        if (got == Read::failed) return Skip::failed;
        if (got == Read::end) {
            const long lines = splitter.line_feeds + (splitter.place == LineSplitter::Place::text);
            std::printf("'%s' has %ld lines: nothing to send from line %ld on\n",
                        shown(path).c_str(), lines, first_line);
            return Skip::file_ended;
        }
        input.remove_prefix(skip_lines(splitter, input, first_line));
    }
    splitter.place = LineSplitter::Place::line_start;
    return Skip::done;
}

void print_head(const LineHead& head) {
    print_shown({head.text.data(), head.length});
    std::printf("%s", head.cut ? "..." : "");
}

void print_resume(const char* path, long resume) {
    const auto name = shown(path);
    std::printf("  To resume: r%ld then f%s (options: -r%ld -f%s)\n", resume, name.c_str(), resume,
                name.c_str());
}

// The first line the controller may not have run.
long resume_line_after(const Standing& at) {
    return at.acknowledged > 0 ? at.acknowledged + 1 : at.first_line;
}

// The one report of a download that ended before the end of its file.
// Returns the line it tells the operator to resume from.
long report_early_end(const char* path, const Standing& at, Outcome outcome) {
    if (outcome == Outcome::refused || outcome == Outcome::halted) {
        // The controller refused the line, or did not take it: it is sent again.
        std::printf("Download of '%s' stopped by the controller %s line %ld (", shown(path).c_str(),
                    outcome == Outcome::refused ? "at" : "before", at.line);
        print_head(at.head);
        std::printf(")\n");
        print_resume(path, at.line);
        return at.line;
    }
    std::printf(outcome == Outcome::stopped ? "\nDownload of '%s' stopped by the operator: "
                                            : "Download of '%s' stopped: ",
                shown(path).c_str());
    if (at.acknowledged > 0) {
        std::printf("the controller acknowledged line %ld last (", at.acknowledged);
        print_head(at.acknowledged_head);
        std::printf(")\n");
    } else {
        std::printf("the controller acknowledged none of its lines\n");
    }
    if (at.unanswered > 0) print_unanswered(at.unanswered);
    print_resume(path, resume_line_after(at));
    return resume_line_after(at);
}

// The file size for the status line; 0 when unknown.
std::int64_t file_size(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : 0;
}

// On a terminal a download that ran through says so; through a pipe the
// output stays as it always was.
void report_finished(const char* path, const Standing& at, std::int64_t elapsed_ms) {
    if (!isatty(STDOUT_FILENO)) return;
    std::array<char, 32> duration;
    format_duration(elapsed_ms / 1000, duration);
    std::printf("\nDownload of '%s' done", shown(path).c_str());
    if (at.first_line > 1) std::printf(" from line %ld", at.first_line);
    std::printf(": %ld line%s sent in %s, %.1f lines/s\n", at.sent, at.sent == 1 ? "" : "s",
                duration.data(),
                static_cast<double>(at.sent) * 1000 /
                    static_cast<double>(std::max<std::int64_t>(elapsed_ms, 1)));
}

// How the job record names the way a download ended. A changed echo and a
// stop word are the controller's doing.
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
        case Outcome::silent:
            return JobOutcome::timed_out;
        case Outcome::lock_step_lost:
        case Outcome::refused:
        case Outcome::halted:
            return JobOutcome::controller_error;
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
        if (!resume_confirmed(reader.fd, path, first_line)) return false;
    }
    job_record_begin(path, reader.fd, first_line);
    std::printf("\n-");
    Standing at;
    at.first_line = first_line;
    const std::int64_t start_ms = clock_ms();
    const std::int64_t first_byte = reader.bytes_read - static_cast<std::int64_t>(input.size());
    progress_begin(path, {first_line, first_byte, file_size(reader.fd)});
    const Outcome outcome = send_file(reader, path, splitter, input, at);
    progress_end();
    job_record_end(job_outcome(outcome));
    if (outcome == Outcome::done) {
        report_finished(path, at, clock_ms() - start_ms);
        return true;
    }
    // A line cut short by a read error is not completed: its text so far stays
    // unsent or, for a long line, is held at the controller without its end.
    if (outcome == Outcome::read_failed) hold_unfinished_line();
    show_state_at(reader.fd, report_early_end(path, at, outcome));
    return false;
}

// The line the resume asks for: 1 without one, 0 when its N number starts no
// line. It serves this download only, once its file is open.
long take_resume_line(int fd, const char* path) {
    const long resume = settings.resume_line;
    const bool by_number = settings.resume_by_number == kYes;
    settings.resume_line = 0;
    settings.resume_by_number = kNo;
    if (resume < 1) return 1;
    return by_number ? line_of_block(fd, path, resume) : resume;
}

}  // namespace

void drop_armed_resume() {
    if (settings.resume_line == 0) return;
    const char* number = settings.resume_by_number == kYes ? "N" : "";
    std::printf("Resume from line %s%ld dropped - give r%s%ld again before the f it is for\n",
                number, settings.resume_line, number, settings.resume_line);
    settings.resume_line = 0;
    settings.resume_by_number = kNo;
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
        std::printf("Cannot open G Code file '%s': %s\n", shown(path).c_str(), reason);
        drop_armed_resume();
        return false;
    }
    const long first_line = take_resume_line(reader.fd, path);
    JobScope job;
    const bool whole = first_line > 0 && download_open_file(reader, path, first_line);
    close(reader.fd);
    return whole;
}
