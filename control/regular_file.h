// Opening the files the program reads: G-code files and the configuration file.
#pragma once

// Opens `path` for reading when it names a regular file, a symbolic link
// being followed. Anything else (a directory, a FIFO, a device, a socket) is
// refused without waiting, reading or touching the device: a FIFO with no
// writer would block the open for ever, /dev/zero never ends and a terminal
// line would change its modem lines. Returns the descriptor, or -1 with
// `reason` set to the text telling why.
int open_regular_file(const char* path, const char*& reason);
