#include <cerrno>
#include <cstdio>

#include "control/settings.h"
#include "link/link.h"
#include "platform/serial_port.h"

namespace {
constexpr int kQueueSize = 1024;
constexpr int kNoParity = 0;
constexpr int kOneStopBit = 0;
constexpr int kDataBits = 8;
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
    check_call(settings.port_number, serial_open(settings.port_number, kQueueSize, kQueueSize));
    check_call(settings.port_number, serial_rate(settings.port_number, settings.rate_code));
}

void reopen_link(int port_in_use) {
    serial_close(port_in_use);
    check_call(settings.port_number, serial_open(settings.port_number, kQueueSize, kQueueSize));
    check_call(settings.port_number, serial_rate(settings.port_number, settings.rate_code));
}
