// What to do about a serial device that could not be opened: the reason in
// words, with the fix where there is an obvious one.
#pragma once

#include <cstddef>

// Where serial devices are looked for, so tests can point it at a directory of
// their own.
namespace device_seam {
extern const char* dev_root;  // "/dev"
}  // namespace device_seam

// Writes the serial devices present, as "found: PATH ..." or "none found": the
// stable names under /dev/serial/by-id/, or else /dev/ttyUSB* and /dev/ttyACM*,
// a few at most, in name order.
void list_serial_devices(char* text, std::size_t size);

// Writes "COM<n> is <path>: <reason> - <fix>" for an open of `port` that
// failed with `error`, the path as shown_device_path gives it; for a variable
// that is set but empty, "COM<n> has no device: ...".
void describe_open_failure(int port, int error, char* text, std::size_t size);
