#include <cerrno>
#include <cstdio>

#include "control/settings.h"
#include "link/link.h"
#include "platform/device_hint.h"
#include "platform/serial_port.h"

namespace {
constexpr int kQueueSize = 1024;
constexpr int kNoParity = 0;
constexpr int kOneStopBit = 0;
constexpr int kDataBits = 8;

// After the error line of a failed open, one line naming the device and saying
// what to do; the calls after it in the same sequence add none.
void explain_open_failure(int port, int error) {
    char text[1024];
    describe_open_failure(port, error, text, sizeof text);
    std::printf("  %s\n", text);
}

// Opens `port`, reporting a failure with both lines.
void open_checked(int port) {
    int result = serial_open(port, kQueueSize, kQueueSize);
    int error = errno;  // check_call prints and closes, which may change it
    if (check_call(port, result) < 0) explain_open_failure(port, error);
}
}  // namespace

int check_call(int port, int result) {
    if (result >= 0) return result;
    int error = errno;  // taken first: printing and closing may change it
    std::printf("ERROR: %s: %d\n",
                "Com port selection maybe wrong or in use by another application", error);
    serial_close(port);
    settings.link_error = 'y';
    return result;
}

void open_link() {
    check_call(serial::kPresetPort, serial_open(serial::kPresetPort, 1, 1));
    check_call(serial::kPresetPort,
               serial_line_params(serial::kPresetPort, kNoParity, kOneStopBit, kDataBits));
    open_checked(settings.port_number);
    check_call(settings.port_number, serial_rate(settings.port_number, settings.rate_code));
}

void reopen_link(int port_in_use) {
    serial_close(port_in_use);
    open_checked(settings.port_number);
    check_call(settings.port_number, serial_rate(settings.port_number, settings.rate_code));
}
