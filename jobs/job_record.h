// Job history and recovery: the one record of where a download stands. The
// download keeps it, in memory and in its channel's file, where a later start
// finds it when the download did not finish. The early end's report, the
// block a later start shows, the system log's lines and the status list all
// read it.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "jobs/file_survey.h"

// How a download ended; running while it has not, and in a record left by a
// program that did not outlive it.
enum class JobOutcome : unsigned char {
    running,
    done,
    stopped,  // by the operator
    link_lost,
    refused,  // an error answer or a stop word
    echo_differed,
    silent,
    unfinished_line,
    read_failed,
    signalled,  // a signal ended the program
    file_changed,
    text_after_nul,  // a line the controller would get only the start of
};
// Its word in the record and the system log.
const char* outcome_word(JobOutcome outcome);

// Bytes as they are: a name, or the start of a line's text.
struct RecordText {
    std::array<char, 256> bytes{};  // a longer name is kept as given
    std::size_t length = 0;
    bool cut = false;  // the text goes on past what is kept
    std::string_view view() const { return {bytes.data(), length}; }
};
inline constexpr std::size_t kLineTextKept = 40;

struct JobRecord {
    // Set when the download starts.
    long channel = 1;  // COM1 is 1
    RecordText device;
    long rate = 0;  // as shown and typed: 38400
    RecordText file;
    long size = 0;
    long cksum = -1;  // -1: it could not be taken
    long lines = 0;
    RecordText boot;
    long started = 0;  // seconds since the epoch
    long first_line = 1;
    // As the download goes.
    long sequence = 0;  // which slot is newer
    JobOutcome outcome = JobOutcome::running;
    long acknowledged = 0;  // the last line whose prompt came; 0: none
    RecordText acknowledged_text;
    long unanswered = 0;  // the first line after it that went out whole; 0: none
    long part_way = 0;    // a line part of which went out, not its end; 0: none
    long refused = 0;     // the line the controller refused, or may have; 0: none
    RecordText refused_text;
    long updated = 0;
    // Kept in memory only.
    long line = 0;  // the line being sent
    RecordText line_text;
    long sent = 0;  // lines that went out whole
};

// The download running now, or the last one.
extern JobRecord job;

// The record of a download of `path` from `first_line`, before the resume
// summary: nothing is written yet. `survey` is null when the file could not
// be read through.
void job_record_prepare(const char* path, long first_line, const FileSurvey* survey);
// The download goes ahead: its start goes to the system log, its record to
// its channel's file.
void job_record_begin();
// Line `line` is taken from the file; `text` is more of its text.
void job_line_begins(long line);
void job_line_text(std::string_view text);
void job_line_part_sent();
// The line went out whole, its line feed included.
void job_line_sent();
// Its prompt came after a plain answer.
void job_line_acknowledged();
// The controller answered it with an error or a stop word.
void job_line_refused();
// What the controller sent after the last prompt held a stop word: it may
// have refused the line acknowledged last.
void job_refused_after_prompt();
// When done, the record is deleted.
void job_record_end(JobOutcome outcome);

// The newer of the record's two slots that holds.
// A record of another version's format is not read: its fields may mean
// other things.
inline constexpr long kRecordFormat = 2;
enum class RecordRead { valid, damaged, other_format };
RecordRead read_record(std::string_view bytes, JobRecord& record, long& format);

// The line a resume starts at: the first the controller may not have run.
long resume_line(const JobRecord& record);
// The command that sends the rest of the file to the same channel at the
// same rate, at the console and as options.
void print_resume_command(const JobRecord& record);
// The report of the download that ended early, `name` as the operator gave it.
void report_early_end(const char* name);
// What the record of channel `port` tells of a download that did not finish,
// the first time it is asked for that channel in this run; a channel this
// run downloaded on has told its own end.
void show_unfinished_job_once(int port);
void show_unfinished_job(int port);
void mark_channel_told(int port);
// One line for each channel that has a record: what runs where.
void print_job_status();
