// Single key presses from the console, for the vacuum head processor.
//
// Keys are taken from the console input stream (platform/console.h), so keys
// typed ahead, console words and typed lines keep the order they were typed in.
// On a terminal, key mode switches standard input to single keys: no waiting
// for Enter and no echo by the terminal. Output is left as it is, so line ends
// still start a new line. When standard input is a pipe or a file, its bytes
// are the keys and key mode changes nothing.
#pragma once

// The input has ended; no more keys will come.
inline constexpr int kKeyEnd = -1;
// A key that sent a sequence of codes (an arrow or a function key). The
// Escape key alone is the byte 0x1b.
inline constexpr int kKeySequence = -2;

// True when keys come from a terminal, false when standard input is a pipe or a file.
bool keys_from_terminal();
// Starts key mode. The terminal's mode is restored by key_mode_off, at exit,
// and before the program ends or stops on SIGINT, SIGTERM, SIGHUP, SIGQUIT or
// SIGTSTP (key mode comes back when a stopped program is continued in the
// foreground).
void key_mode_on();
// Back to the mode the terminal had before key_mode_on.
void key_mode_off();
// Waits at most `timeout_ms` for a key press; true when read_key will not block.
bool key_waiting(int timeout_ms);
// The next key press: a byte 0..255, kKeySequence or kKeyEnd.
int read_key();
