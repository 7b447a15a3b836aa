// Who has a terminal device, as /proc shows it: the session it is the
// controlling terminal of, the program holding its lock, or any program that
// has it open, as fuser finds them. Processes /proc hides from this user are
// not seen.
#pragma once

#include <sys/types.h>

// /dev/ptmx (and devpts' own ptmx): a terminal, yet each open makes a new
// pseudo-terminal with nobody at its far end, never a controller's line.
bool is_pseudo_terminal_multiplexer(dev_t device);
// True when `device` is the controlling terminal of a session: someone's
// login or terminal window, whatever a link or a variable says of it.
// /dev/tty always is: it stands for this program's own terminal.
bool is_session_terminal(dev_t device);

struct TerminalUser {
    pid_t pid = 0;
    char name[16] = {};  // as /proc/PID/comm has it
};

// The program that keeps the device at `path` from this one: the holder of
// its lock, else the leader of the session whose terminal it is, else another
// program that has it open. False when /proc shows none.
bool find_terminal_user(const char* path, TerminalUser& user);
