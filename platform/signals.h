// Signals, acted on where the program can act safely, never inside a line.
//
// SIGTERM, SIGHUP and SIGQUIT end the program as the e command does; so does
// Ctrl-C (SIGINT) at the console. While a job talks to the controller, Ctrl-C
// asks it to stop after the line in flight, and a second Ctrl-C gives up the
// wait for that line's prompt. SIGPIPE is ignored: a reader of standard output
// that went away does not stop a running job.
//
// A handler only notes the signal and wakes the program's waits through a
// pipe; the waits and the jobs then act on it.
#pragma once

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

// A descriptor that becomes readable when a signal has come, for a blocking
// wait to include, or -1. A wait that sees it calls drain_signal_wakes and
// returns, so its caller can look at what came.
int signal_wake_fd();
void drain_signal_wakes();

// When a signal that ends the program has come: runs the cleanup and ends the
// process by that signal, so whoever started it sees how it ended. With a line
// part-way out it waits for the line to finish, unless the signal came twice:
// the operator then wants out whatever the controller holds.
void end_if_signalled(bool line_part_way = false);

// A job from here to the end of the scope.
struct JobScope {
    JobScope() { job_begin(); }
    ~JobScope() { job_end(); }
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;
};
