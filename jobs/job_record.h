// Job history and recovery. While a download runs, its channel's recovery
// record says where it stands; the system log gets one line when it starts
// and one when it ends. A record left by a download that did not finish is
// shown when the program starts or opens that channel.
#pragma once

#include <string_view>

// How a download ended; running while it has not.
enum class JobOutcome {
    running,
    done,
    stopped,  // by the operator
    link_lost,
    controller_error,
    unfinished_line,
    read_failed,
    timed_out,
    signalled,  // a signal ended the program
};

// The download of `path`, open as `fd`, starts at file line `first_line` on
// port_number.
void job_record_begin(const char* path, int fd, long first_line);
// Part of line `line` went out, not yet its end.
void job_record_line_begun(long line);
// Line `line` went out whole, its line feed included.
void job_record_line_sent(long line);
// The prompt for line `line` came; `head` is the start of its text as a
// report shows it (no control characters), `cut` when the text goes on.
void job_record_acknowledged(long line, std::string_view head, bool cut);
// The download ended; when done, its record is deleted. Nothing when no
// download runs.
void job_record_end(JobOutcome outcome);

// Shows what the record of channel `port` tells of a download that did not
// finish, the first time it is asked for that channel in this run: a channel
// this run downloaded on has told its own end.
void show_unfinished_job_once(int port);
// The line of a stopped download's report, at its end or from its record,
// for line `line`: it went out whole, but its prompt did not come.
void print_unanswered(long line);
void show_unfinished_job(int port);
void mark_channel_told(int port);
