// The serial device layer: six byte-level operations on numbered ports, plus a
// wait for incoming bytes. Ports are zero-based (0 is COM1, 12 is COM13).
// Port -1 is the preset target: calls on it succeed and record the framing that
// later opens apply; they touch no device.
// Every operation returns a negative value on failure with errno set.
#pragma once

namespace serial {
inline constexpr int kPresetPort = -1;
inline constexpr int kPortCount = 13;
}  // namespace serial

// Opens the device mapped to `port` in raw mode with the preset framing and
// takes exclusive use of it. Queue sizes bound the transmit buffering.
int serial_open(int port, int rx_queue, int tx_queue);
// parity: 0 none, 1 odd, 2 even; stop_bits: 0 one, 2 two; data_bits: 5..8.
int serial_line_params(int port, int parity, int stop_bits, int data_bits);
// Rate codes 0..9: 110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 baud.
int serial_rate(int port, int rate_code);
// Queues one byte for sending; queued bytes leave before any read or wait.
int serial_put(int port, unsigned char byte);
// The next received byte 0..255, or a negative value at once when none is waiting.
int serial_get(int port);
int serial_close(int port);
// Blocks until a byte can be read or `timeout_ms` has passed. Returns 1 when a
// byte is waiting, 0 on time-out, and a negative value when the port is not open
// or the device has hung up; in that case it sleeps out the time first, so a
// caller that loops on it never spins.
int serial_wait(int port, int timeout_ms);
