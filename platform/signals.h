// Signals, acted on where the program can act safely, never inside a line.
//
// SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2 and SIGALRM end the program as the
// e command does; so does Ctrl-C (SIGINT) at the console. While a job talks to
// the controller, Ctrl-C asks it to stop after the line in flight, and a second
// Ctrl-C gives up the wait for that line's prompt. SIGPIPE is ignored: a reader
// of standard output that went away does not stop a running job.
//
// A handler only notes the signal and wakes the program's waits through a
// pipe; the waits and the jobs then act on it. Console output that cannot go
// on (a full pipe, a terminal on hold) never holds off a signal that ends the
// program, nor a second Ctrl-C: from then on, until the job has ended, no
// write to standard output waits.
#pragma once

#include <termios.h>

#include <string_view>

// Takes the signals over; one the program was started to ignore (nohup, a
// background job) stays ignored. `cleanup` runs before the program ends on a
// signal: it closes the port and gives the console back.
void install_signal_handlers(void (*cleanup)());

// Between these, Ctrl-C stops the job instead of ending the program.
void job_begin();
void job_end();
// Ctrl-Cs since job_begin: 1 asks the job to stop after the line in flight, 2
// or more to give up the wait for its prompt.
int stop_requests();
// Whether the operator asked the job to stop (Ctrl-C) once the line in flight
// is done; the job then stops before its next line.
inline bool stop_asked() {
    return stop_requests() > 0;
}
// True once per job, at the first call after its first Ctrl-C: for a wait to
// say what the stop does (the handler prints nothing).
bool take_first_stop();
// Whether a Ctrl-C came during a job since the last call, which forgets it.
// The request that job belongs to ends there, even when the job could finish
// its last line.
bool take_job_stop();

// A descriptor that becomes readable when a signal has come, for a blocking
// wait to include, or -1. A wait that sees it calls drain_signal_wakes and
// returns, so its caller can look at what came.
int signal_wake_fd();
void drain_signal_wakes();

// A signal that ends the program has come; it acts once no line is on its way.
bool ending_signal_came();

// Standard output as a descriptor of its own that never blocks, for a write
// that waits in poll() together with signal_wake_fd(); -1 where standard
// output cannot block (a regular file) or none could be had.
int console_output_fd();

// When a signal that ends the program has come: runs the cleanup and ends the
// process by that signal, so whoever started it sees how it ended. With a line
// part-way out it waits for the line to finish, unless the signal came twice:
// the operator then wants out whatever the controller holds.
void end_if_signalled(bool line_part_way = false);

// Ctrl-Z, fg and resizes, for what the program keeps on the terminal (key
// mode, the progress line). Between these SIGTSTP, SIGCONT and SIGWINCH are
// taken, unless the program was started to ignore them; calls nest. The
// handlers only note counts and put back what the holds below name; code
// outside them acts on the counts.
void terminal_watch_begin();
void terminal_watch_end();
// Puts `program` on standard input's terminal, for the program's own mode:
// `shell` goes back on a stop, `program` again on a continue in the
// foreground (after bg, at the next fg). False when the terminal refused it.
bool hold_input_mode(const termios& shell, const termios& program);
// Puts `shell` back; a continue meanwhile cannot undo that.
void release_input_mode();
// The progress line's rows: on a stop in the foreground `give_back` (a
// constant) goes to standard output and the hold ends.
void hold_screen(std::string_view give_back);
// Ends the hold; false when a stop has given the screen back already.
bool release_screen();
// Stops had, and continues or resizes had, for the caller to compare with
// the counts it last acted on.
int terminal_stops();
int terminal_changes();
// The program runs on from here: a stop raised before a continue that comes
// after this is discarded, where it would leave the program stopped for good.
void note_running();
// Writes all of `bytes` to standard output, as a handler may.
void write_to_console(std::string_view bytes);
// Whether the program has the terminal on `fd` (no foreground group at all:
// a terminal that is not ours to share).
bool in_foreground(int fd);

// A job from here to the end of the scope.
struct JobScope {
    JobScope() { job_begin(); }
    ~JobScope() { job_end(); }
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;
};
