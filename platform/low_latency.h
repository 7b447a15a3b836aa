// Low-latency mode for serial devices, USB serial adapters above all.
//
// An FTDI adapter holds received bytes for up to its latency timer (16 ms by
// default) before passing them on, so in lock-step every line waits for the
// controller's prompt that much longer. On open we ask the driver for low
// latency (ASYNC_LOW_LATENCY, which the FTDI driver turns into a 1 ms timer)
// and set the adapter's sysfs latency_timer to 1 where it can be written; on
// close we put back what was there. Devices that support neither (pseudo-
// terminals, most built-in UARTs) are left as they are, without a word.
//
// An FTDI adapter can also pass on what it holds the moment a chosen byte
// arrives: its event character. Set to the controller's prompt, the byte every
// line waits for is never held at all, whatever the timer.
#pragma once

#include <cstddef>

// What was changed on one open device, so close can put it back.
struct LatencyChanges {
    bool low_latency_flag = false;  // ASYNC_LOW_LATENCY was off and was turned on
    int old_timer_ms = -1;          // latency_timer before it was set to 1; -1: untouched
    bool event_char_set = false;    // event_char was written; the driver's default is off
    char tty_name[64] = {};         // e.g. ttyUSB0, naming the sysfs directory
};

// Where the device layer reaches the machine, so tests can put a fake device
// and a fake sysfs directory in its place.
namespace latency_seam {
using IoctlFunction = int (*)(int fd, unsigned long request, void* arg);
extern IoctlFunction ioctl_function;  // TIOCGSERIAL and TIOCSSERIAL go through it
extern const char* sysfs_root;        // "/sys"
}  // namespace latency_seam

// Turns low latency on for `fd`, opened from `device_path`, and records in
// `changes` what it changed.
void lower_latency(int fd, const char* device_path, LatencyChanges& changes);
// Makes byte `c` the adapter's event character where its sysfs event_char
// can be written. True when it was set.
bool set_event_char(LatencyChanges& changes, int c);
// Puts back what lower_latency and set_event_char changed, while `fd` is still open.
void restore_latency(int fd, LatencyChanges& changes);
