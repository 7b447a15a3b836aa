// Opening and closing the port, and what the link knows about it between
// commands: which port is open and whether it holds an unfinished line.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/settings.h"
#include "link/link.h"
#include "link/port_state.h"
#include "platform/device_hint.h"
#include "platform/device_map.h"
#include "platform/serial_port.h"

namespace {
constexpr int kQueueSize = 1024;
constexpr int kNoParity = 0;
constexpr int kOneStopBit = 0;
constexpr int kDataBits = 8;
constexpr int kNoPort = -1;

// Set while a job makes the port ready with the cursor after a key's echo:
// the first message then begins a line of its own.
bool after_key_echo = false;

void start_message_line() {
    if (after_key_echo) std::printf("\n");
    after_key_echo = false;
}

// The port that is open, or kNoPort. Only one is open at a time.
int opened_port = kNoPort;
// Bytes of the current line that went out on the open port: those after the
// last line feed that went out.
std::size_t line_sent = 0;
// Ports whose controller holds the start of a line without its end. Nothing
// more goes to them until the operator re-opens them with c or b, or the next
// line would be glued to it.
std::array<bool, serial::kPortCount> unfinished{};

bool known_port(int port) {
    return port >= 0 && port < serial::kPortCount;
}

bool holds_unfinished(int port) {
    return known_port(port) && unfinished[static_cast<std::size_t>(port)];
}

void close_port(int port) {
    serial_close(port);
    if (opened_port == port) opened_port = kNoPort;
    line_sent = 0;
}

// After the error line of a failed open, one line naming the device and saying
// what to do; the calls after it in the same sequence add none.
void explain_open_failure(int port, int error) {
    char text[1024];
    describe_open_failure(port, error, text, sizeof text);
    std::printf("  %s\n", text);
}

// Opens `port`, reporting a failure with both lines.
bool open_checked(int port) {
    int result = serial_open(port, kQueueSize, kQueueSize);
    int error = errno;  // check_call prints and closes, which may change it
    if (check_call(port, result) >= 0) return true;
    explain_open_failure(port, error);
    return false;
}

// Opens `port` at rate_code, each call's failure reported by check_call.
bool open_port_at_rate(int port) {
    const bool opened = open_checked(port);
    const bool rate_set = check_call(port, serial_rate(port, settings.rate_code)) >= 0;
    line_sent = 0;
    forget_request();
    opened_port = opened && rate_set ? port : kNoPort;
    // The prompt, which every line waits for, then leaves a USB adapter at once.
    if (opened_port == port)
        serial_event_char(port, static_cast<unsigned char>(settings.prompt_char));
    return opened_port == port;
}

// The controller keeps the part of the line that went out: say so and hold
// the port, so the next line is not glued to it.
void hold_port(int port) {
    std::printf(
        "\nCOM%d holds an unfinished line: %zu bytes of it went out - re-open the port "
        "with c or b\n",
        port + 1, line_sent);
    if (known_port(port)) unfinished[static_cast<std::size_t>(port)] = true;
    // Bytes the driver still holds would reach the controller after the re-open,
    // glued to the next line; closing alone does not drop them.
    serial_discard_output(port);
    close_port(port);
}

const char* loss_reason(int error) {
    if (error == EIO) return "the device hung up";
    if (error == ENODEV || error == ENXIO) return "the device was removed";
    return std::strerror(error);
}

// A device that went away while the port sat idle is only noticed here, so
// the command can open it again (a re-plugged adapter) instead of failing.
void notice_idle_loss(int port) {
    if (opened_port == port && serial_wait(port, 0) == serial::kDeviceLost) drop_link(errno);
}

}  // namespace

int check_call(int port, int result) {
    if (result >= 0) return result;
    int error = errno;  // taken first: printing and closing may change it
    start_message_line();
    std::printf("ERROR: %s: %d\n",
                "Com port selection maybe wrong or in use by another application", error);
    serial_close(port);
    settings.link_error = kYes;
    return result;
}

void open_link() {
    opened_port = kNoPort;
    unfinished = {};
    check_call(serial::kPresetPort, serial_open(serial::kPresetPort, 1, 1));
    check_call(serial::kPresetPort,
               serial_line_params(serial::kPresetPort, kNoParity, kOneStopBit, kDataBits));
    open_port_at_rate(settings.port_number);
}

bool reopen_link(int port_in_use) {
    close_port(port_in_use);
    if (known_port(settings.port_number))
        unfinished[static_cast<std::size_t>(settings.port_number)] = false;
    return open_port_at_rate(settings.port_number);
}

bool ensure_link(bool after_echo) {
    const int port = settings.port_number;
    after_key_echo = after_echo;
    bool ready = false;
    if (holds_unfinished(port)) {
        start_message_line();
        std::printf("Not sent: COM%d holds an unfinished line - re-open the port with c or b\n",
                    port + 1);
    } else {
        notice_idle_loss(port);
        ready = opened_port == port || open_port_at_rate(port);
    }
    after_key_echo = false;
    return ready;
}

bool holds_unfinished_line() {
    return holds_unfinished(settings.port_number);
}

void hold_unfinished_line() {
    if (line_sent > 0) hold_port(settings.port_number);
}

bool link_up() {
    return opened_port == settings.port_number && !holds_unfinished(opened_port);
}

void note_sent(std::string_view bytes) {
    const std::size_t line_feed = bytes.rfind('\n');
    line_sent = line_feed == std::string_view::npos ? line_sent + bytes.size()
                                                    : bytes.size() - line_feed - 1;
}

bool line_begun() {
    return line_sent > 0;
}

void note_request_complete() {
    line_sent = 0;
}

void drop_link(int error) {
    const int port = settings.port_number;
    char path[kShownPathSize];
    shown_device_path(port, path, sizeof path);
    after_key_echo = false;  // this line begins with its own line feed
    std::printf("\nLink lost on COM%d (%s): %s - port closed", port + 1, path, loss_reason(error));
    if (line_sent > 0) {
        hold_port(port);  // its line follows on a line of its own
    } else {
        std::printf("\n");
        close_port(port);
    }
}

void give_up_line() {
    if (line_sent > 0) {
        hold_port(settings.port_number);
    } else {
        drop_link(ETIMEDOUT);
    }
}
