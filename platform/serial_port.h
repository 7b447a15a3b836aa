// The serial device layer: six byte-level operations on numbered ports, plus a
// wait for incoming bytes. Ports are zero-based (0 is COM1, 12 is COM13).
// Port -1 is the preset target: calls on it succeed and record the framing that
// later opens apply; they touch no device.
// Every operation returns a negative value on failure with errno set.
#pragma once

namespace serial {
inline constexpr int kPresetPort = -1;
inline constexpr int kPortCount = 13;
// The result of serial_get, serial_send and serial_wait once the device has
// hung up or failed: nothing more will pass, and errno says why (EIO for a
// hang-up). The port stays open until serial_close.
inline constexpr int kDeviceLost = -2;
}  // namespace serial

// Opens the device mapped to `port` in raw mode with the preset framing and
// takes exclusive use of it. Queue sizes bound the transmit buffering.
// Closing gives the device back with the terminal settings it had before.
int serial_open(int port, int rx_queue, int tx_queue);
// parity: 0 none, 1 odd, 2 even; stop_bits: 0 one, 2 two; data_bits: 5..8.
int serial_line_params(int port, int parity, int stop_bits, int data_bits);
// Rate codes 0..9: 110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 baud.
int serial_rate(int port, int rate_code);
// Queues one byte for sending; it leaves with serial_send. Fails with EAGAIN
// while the queue is full.
int serial_put(int port, unsigned char byte);
// Writes as many queued bytes as the device takes now, without waiting.
// Returns how many are still queued.
int serial_send(int port);
// The next received byte 0..255, or -1 at once when none is waiting.
int serial_get(int port);
// How many received bytes have arrived and are not read yet; serial_get hands
// out at least that many without waiting.
int serial_arrived(int port);
// Drops what still waits to be sent, queued here or in the driver, so none of
// it reaches the device later.
int serial_discard_output(int port);
// Asks the adapter behind an open port to pass on the bytes it holds the
// moment `byte` arrives (an FTDI adapter's event character). 1 when it was
// set, 0 when the device offers no such setting; closing the port clears it.
int serial_event_char(int port, unsigned char byte);
// Drops whatever is still queued, restores the device's settings and closes it.
int serial_close(int port);
// Blocks until the device can take more while bytes are queued, else until a
// byte can be read, or until `timeout_ms` has passed. Returns 1 when ready and
// 0 on time-out; a hang-up ends the wait at once with kDeviceLost.
int serial_wait(int port, int timeout_ms);
