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

// Line text waiting to be sent, with room for its line feed.
struct Piece {
    std::array<char, kPieceSize + 1> text;
    std::size_t stored = 0;
    bool in_line = false;  // part of the current line's text has been taken from the file
};

// The file, a block at a time, and what was read of it before the first
// line went out.
struct Reader {
    int fd = -1;
    const char* path = nullptr;
    FileSurvey survey;
    bool surveyed = false;  // false: the file could not be read through at the start
    std::array<char, kBlockSize> block;
    std::int64_t bytes_read = 0;
};

enum class Read { data, end, failed, changed };

// Opens the file a download or a check reads; false, said, when it cannot.
bool open_file(Reader& reader, const char* path) {
    const char* reason = nullptr;
    reader.path = path;
    reader.fd = open_regular_file(path, reason);
    if (reader.fd < 0)
        std::printf("Cannot open G Code file '%s': %s\n", shown(path).c_str(), reason);
    return reader.fd >= 0;
}

void say_nothing_from(const char* path, long lines, long first_line) {
    std::printf("'%s' has %ld lines: nothing to send from line %ld on\n", shown(path).c_str(),
                lines, first_line);
}

bool file_changed(Reader& reader) {
    return reader.surveyed &&
           check_file(reader.fd, reader.path, reader.survey) == FileState::changed;
}

// Only the file as the operator started or confirmed the download goes out:
// a block read after the file changed, other than at its end, is not used.
// The look costs two calls a block, none a line.
Read read_block(Reader& reader, std::string_view& input) {
    for (;;) {
        const ssize_t got = read(reader.fd, reader.block.data(), reader.block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            std::printf("\n");
            said_unreadable(reader.path);
            return Read::failed;
        }
        if (file_changed(reader)) return Read::changed;
        reader.bytes_read += got;
        input = std::string_view(reader.block.data(), static_cast<std::size_t>(got));
        return got == 0 ? Read::end : Read::data;
    }
}

// Notes text of the current line taken from the file; a new line starts here.
void note_line_text(Piece& piece, const LineSplitter& splitter, std::string_view text,
                    const Reader& reader, std::size_t unread) {
    if (!piece.in_line) {
        piece.in_line = true;
        job_line_begins(splitter.line);
        progress_update(splitter.line, reader.bytes_read - static_cast<std::int64_t>(unread));
    }
    job_line_text(text);
}

// A text that did not go out: what the controller sent unasked stopped it,
// the operator gave up the wait, the port holds the part that went out, or
// the link is gone.
JobOutcome not_sent() {
    if (refused_for_stop_word()) {
        job_refused_after_prompt();
        return JobOutcome::refused;
    }
    if (stop_requests() >= 2) return JobOutcome::stopped;
    if (!holds_unfinished_line()) return JobOutcome::link_lost;
    job_line_part_sent();
    return JobOutcome::unfinished_line;
}

// How a wait ended; running when the download goes on.
JobOutcome outcome_of_wait(std::int64_t result) {
    if (result == 0) return JobOutcome::running;
    if (result == kLinkDown) return JobOutcome::link_lost;
    if (result == kWaitAbandoned) return JobOutcome::stopped;
    if (result > 0) return JobOutcome::silent;
    return result == kStopWord ? JobOutcome::refused : JobOutcome::echo_differed;
}

// Sends part of a line that does not fit the send buffer and reads its echo:
// the controller answers only once the line feed has come.
JobOutcome send_piece(Piece& piece) {
    const std::string_view text(piece.text.data(), piece.stored);
    piece.stored = 0;
    job_line_part_sent();
    if (!send_text(text)) return not_sent();
    return outcome_of_wait(await_echo(static_cast<int>(text.size())));
}

// Sends the rest of a line's text with its line feed, in one write, then waits
// for the prompt. The line feed's echo is read as part of the answer, and the
// prompt is awaited after it, also when the text ends in the prompt character.
JobOutcome send_line_end(Piece& piece) {
    const int echo_count = static_cast<int>(piece.stored);
    piece.text[piece.stored] = '\n';
    const std::string_view line(piece.text.data(), piece.stored + 1);
    piece.stored = 0;
    piece.in_line = false;
    if (!send_text(line)) return not_sent();
    job_line_sent();
    const std::int64_t result = await_prompt(settings.prompt_char, echo_count);
    if (result == 0) job_line_acknowledged();
    if (result == kStopWord) job_line_refused();
    return outcome_of_wait(result);
}

// Splits the file into lines and sends them, until its end or a failure.
JobOutcome send_file(Reader& reader, LineSplitter& splitter, std::string_view input) {
    // The file may have changed while the operator read the resume summary.
    if (file_changed(reader)) return JobOutcome::file_changed;
    Piece piece;
    for (;;) {
        while (!input.empty()) {
            std::span<char> room(piece.text.data() + piece.stored, kPieceSize - piece.stored);
            SplitResult step = split_lines(splitter, input, room);
            input.remove_prefix(step.used);
            const bool text_taken = step.stored > 0 || step.line_ended;
            // Ctrl-C stops the download before a line of which nothing went out,
            // and so does a line the controller would get only the start of.
            if (text_taken && !piece.in_line && stop_asked()) return JobOutcome::stopped;
            if (text_taken && !piece.in_line && splitter.line == reader.survey.text_after_nul) {
                job_line_begins(splitter.line);
                std::printf("\nLine %ld has text after a NUL byte: not sent\n", splitter.line);
                return JobOutcome::text_after_nul;
            }
            if (text_taken)
                note_line_text(piece, splitter, {room.data(), step.stored}, reader, input.size());
            piece.stored += step.stored;
            JobOutcome sent = JobOutcome::running;
            if (step.line_ended) {
                sent = send_line_end(piece);
            } else if (piece.stored == kPieceSize) {
                sent = send_piece(piece);
            }
            if (sent != JobOutcome::running) return sent;
        }
        const Read got = read_block(reader, input);
        if (got == Read::failed) return JobOutcome::read_failed;
        if (got == Read::changed) return JobOutcome::file_changed;
        if (got == Read::end) {
            if (!finish_lines(splitter)) return JobOutcome::done;
            if (!piece.in_line && stop_asked()) return JobOutcome::stopped;
            if (!piece.in_line) note_line_text(piece, splitter, {}, reader, 0);
            const JobOutcome last = send_line_end(piece);
            return last == JobOutcome::running ? JobOutcome::done : last;
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
Skip skip_to_first_line(Reader& reader, LineSplitter& splitter, std::string_view& input,
                        long first_line) {
    // Past the lines skipped, a line must be there to send from.
    while (splitter.line_feeds < first_line - 1 || input.empty()) {
        const Read got = read_block(reader, input);
        if (got == Read::changed)
            std::printf("'%s' changed while it was read: nothing sent\n",
                        shown(reader.path).c_str());
        if (got == Read::failed || got == Read::changed) return Skip::failed;
        if (got == Read::end) {
            const long lines = splitter.line_feeds + (splitter.place == LineSplitter::Place::text);
            say_nothing_from(reader.path, lines, first_line);
            return Skip::file_ended;
        }
        input.remove_prefix(skip_lines(splitter, input, first_line));
    }
    splitter.place = LineSplitter::Place::line_start;
    return Skip::done;
}

// On a terminal a download that ran through says so; through a pipe the
// output stays as it always was.
void report_finished(const char* path, std::int64_t elapsed_ms) {
    if (!isatty(STDOUT_FILENO)) return;
    std::array<char, 32> duration;
    format_duration(elapsed_ms / 1000, duration);
    std::printf("\nDownload of '%s' done", shown(path).c_str());
    if (job.first_line > 1) std::printf(" from line %ld", job.first_line);
    std::printf(": %ld line%s sent in %s, %.1f lines/s\n", job.sent, job.sent == 1 ? "" : "s",
                duration.data(),
                static_cast<double>(job.sent) * 1000 /
                    static_cast<double>(std::max<std::int64_t>(elapsed_ms, 1)));
}

// Runs the download on the open file.
bool download_open_file(Reader& reader, long first_line) {
    const char* path = reader.path;
    LineSplitter splitter;
    std::string_view input;
    if (first_line > 1) {
        const Skip skipped = skip_to_first_line(reader, splitter, input, first_line);
        if (skipped != Skip::done) return skipped == Skip::file_ended;
        if (!resume_confirmed(reader.fd, path, first_line)) return false;
    }
    job_record_begin();
    std::printf("\n-");
    const std::int64_t start_ms = clock_ms();
    const std::int64_t first_byte = reader.bytes_read - static_cast<std::int64_t>(input.size());
    progress_begin(path, {first_line, first_byte, job.size});
    JobOutcome outcome = send_file(reader, splitter, input);
    // What the controller sent after the last prompt is shown, not lost: a
    // stop word in it may be its refusal of the last line.
    if (show_arrived_text() && outcome == JobOutcome::done) {
        job_refused_after_prompt();
        outcome = JobOutcome::refused;
    }
    progress_end();
    job_record_end(outcome);
    if (outcome == JobOutcome::done) {
        report_finished(path, clock_ms() - start_ms);
        return true;
    }
    // A line cut short by a read error is not completed: its text so far stays
    // unsent or, for a long line, is held at the controller without its end.
    if (outcome == JobOutcome::read_failed) hold_unfinished_line();
    report_early_end(path);
    show_state_at(reader.fd, resume_line(job));
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
    Reader reader;
    if (!open_file(reader, path)) {
        drop_armed_resume();
        return false;
    }
    const long first_line = take_resume_line(reader.fd, path);
    reader.survey.refuse_from = first_line;
    reader.surveyed = survey_file(reader.fd, reader.survey);
    job_record_prepare(path, first_line, reader.surveyed ? &reader.survey : nullptr);
    JobScope scope;
    const bool whole = first_line > 0 && download_open_file(reader, first_line);
    close(reader.fd);
    return whole;
}

namespace {

constexpr int kFlagsShown = 20;
int flags_seen = 0;

void print_flag(long line, LineFlag flag) {
    static constexpr std::array<const char*, 3> kFlags = {
        "text after a NUL byte: a download stops before it",
        "control characters other than tab and carriage return: sent as they are",
        "more than the 255 characters a controller's line holds: sent in pieces"};
    if (++flags_seen <= kFlagsShown)
        std::printf("  Line %ld: %s\n", line, kFlags[static_cast<std::size_t>(flag)]);
}

}  // namespace

bool check_download(const char* path) {
    Reader reader;
    if (!open_file(reader, path)) return false;
    std::printf("Check of '%s', read as a download reads it; nothing is sent\n",
                shown(path).c_str());
    const long first_line = take_resume_line(reader.fd, path);
    FileSurvey& survey = reader.survey;
    survey.refuse_from = first_line;
    survey.flagged = print_flag;
    bool fine = first_line > 0 && survey_file(reader.fd, survey);
    if (fine) {
        if (flags_seen > kFlagsShown)
            std::printf("  ... and %d more of them\n", flags_seen - kFlagsShown);
        const long lines = survey_lines(survey);
        std::printf("  %ld lines; the longest, line %ld, has %zu characters\n", lines,
                    survey.longest_line, survey.longest);
        const std::int64_t bytes = survey_sent_bytes(survey);
        const std::int64_t rate = rate_value(settings.rate_code);
        std::array<char, 32> duration;
        format_duration((bytes * 10 + rate - 1) / rate, duration);
        std::printf("  %lld bytes to send from line %ld: %s on the wire at %lld baud\n",
                    static_cast<long long>(bytes), first_line, duration.data(),
                    static_cast<long long>(rate));
        if (first_line > lines) say_nothing_from(path, lines, first_line);
        fine = survey.text_after_nul == 0 && first_line <= lines &&
               (first_line == 1 || print_resume_summary(reader.fd, path, first_line));
    } else if (first_line > 0) {
        said_unreadable(path);
    }
    close(reader.fd);
    return fine;
}
