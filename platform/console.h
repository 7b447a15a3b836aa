// The console input stream: one buffered byte stream over standard input.
// Console words, the rest of a typed line and the vacuum head's keys and
// numbers are all taken from it in turn, so what one reader leaves unread is
// seen by the next.
#pragma once

inline constexpr int kConsoleEnd = -1;

// The next byte 0..255, blocking until one is typed; kConsoleEnd at the end of input.
int console_get();
// The next byte without taking it, or kConsoleEnd.
int console_peek();
// True when bytes already read from standard input are waiting in the buffer.
bool console_buffered();
