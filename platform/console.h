// The console input stream: one buffered byte stream over standard input.
// Console words, the rest of a typed line and the vacuum head's keys and
// numbers are all taken from it in turn, so what one reader leaves unread is
// seen by the next.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr int kConsoleEnd = -1;
// How many bytes console_unget can hold at most.
inline constexpr std::size_t kConsolePushBackSize = 4096;

// The next byte 0..255, blocking until one is typed; kConsoleEnd at the end of input.
int console_get();
// The next byte without taking it, or kConsoleEnd.
int console_peek();
// True inside a console line: the last byte taken was no line end, or bytes
// were put back in front of the stream.
bool console_mid_line();
// True when bytes already read from standard input are waiting in the buffer.
bool console_buffered();
// Waits at most `timeout_ms` (negative: without limit) until console_get can
// return without blocking: a byte is waiting or the input has ended. False when
// the time ran out or a signal cut the wait short.
bool console_wait(int timeout_ms);
// Writes `bytes` to standard output. While it takes nothing more (a full pipe,
// a terminal on hold) this waits for room, unless `wait` is false: the rest is
// then dropped. A signal ends the wait early: returns the bytes written, for
// the caller to act on the signal and call again with the rest; otherwise all
// of them, written or dropped.
std::size_t console_write(std::string_view bytes, bool wait);
// Puts `bytes` back in front of the stream, to be read again before anything
// else. False, with nothing put back, when they do not fit the push-back room.
bool console_unget(std::string_view bytes);
