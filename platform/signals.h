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

#include <csignal>
#include <span>

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

// Handlers a module keeps only while it needs them (key mode, the progress
// line). Only a signal left at its default action is taken over: one the
// program was started to ignore (nohup, a background job) stays ignored.
struct TakenSignal {
    int signal;
    void (*handler)(int);
    struct sigaction previous;
    bool installed;
};
void take_signals(std::span<TakenSignal> signals);
// Puts back what take_signals found.
void give_signals_back(std::span<TakenSignal> signals);
// Sets `handler` for `sig`, a call cut short by it being carried on.
void set_signal_action(int sig, void (*handler)(int));
// For a SIGTSTP handler, `handler`, that has given the terminal back: stops
// the program as Ctrl-Z would and returns once it is continued. A shell can
// continue the job (fg) before the handler has stopped it; a stop after that
// continue would leave the program stopped for good. So the stop is raised
// first, held back while the handler runs, and discarded when `continues` has
// moved on from `continues_seen` (a continue after the check discards it in
// the kernel).
void stop_from_handler(void (*handler)(int), const volatile std::sig_atomic_t& continues,
                       const volatile std::sig_atomic_t& continues_seen);

// A job from here to the end of the scope.
struct JobScope {
    JobScope() { job_begin(); }
    ~JobScope() { job_end(); }
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;
};
