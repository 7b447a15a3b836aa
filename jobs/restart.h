// Restarting a download mid-file: the line an N number names, and what the
// operator needs to see before the first line goes out (the modal state the
// skipped lines leave, the position, the warnings) and says yes to. The file is
// read with pread, so the download's own reading is left where it stands.
#pragma once

// The first file line whose first word is N `number`, saying which and how many
// more start with it; 0, said too, when none does or the file cannot be read.
long line_of_block(int fd, const char* path, long number);

// Before a download resumed at `first_line` sends: the state the lines before
// it leave and the warnings. At the console on a terminal the operator then
// presses Enter to go on; anything else sends nothing. False when nothing may
// be sent.
bool resume_confirmed(int fd, const char* path, long first_line);
// The same without the question: the state and the warnings alone.
bool print_resume_summary(int fd, const char* path, long first_line);

// Says that the file `path` could not be read, with errno's reason; false.
bool said_unreadable(const char* path);

// For the report of a download that ended early: the state at its resume line.
void show_state_at(int fd, long line);
