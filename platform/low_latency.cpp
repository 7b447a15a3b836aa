#include "platform/low_latency.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int system_ioctl(int fd, unsigned long request, void* arg) {
    return ioctl(fd, request, arg);
}

constexpr int kLowestTimerMs = 1;

// The kernel's name of the device (ttyUSB0), also when it was reached through a
// symbolic link such as those under /dev/serial/by-id/.
bool tty_name_of(const char* device_path, char* name, std::size_t size) {
    char resolved[PATH_MAX];
    if (realpath(device_path, resolved) == nullptr) return false;
    const char* slash = std::strrchr(resolved, '/');
    const char* base = slash != nullptr ? slash + 1 : resolved;
    int written = std::snprintf(name, size, "%s", base);
    return base[0] != '\0' && written > 0 && static_cast<std::size_t>(written) < size;
}

// The path of one of the adapter's sysfs attributes.
bool attribute_path(const char* tty_name, const char* attribute, char* path, std::size_t size) {
    int written = std::snprintf(path, size, "%s/bus/usb-serial/devices/%s/%s",
                                latency_seam::sysfs_root, tty_name, attribute);
    return tty_name[0] != '\0' && written > 0 && static_cast<std::size_t>(written) < size;
}

bool timer_path(const char* tty_name, char* path, std::size_t size) {
    return attribute_path(tty_name, "latency_timer", path, size);
}

// The event character's value: bit 8 enables it, the low byte is the character.
constexpr unsigned kEventCharOn = 0x100;

// The timer in milliseconds, or -1 when there is none to read.
int read_timer(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[16];
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return -1;
    text[got] = '\0';
    char* end = nullptr;
    long ms = std::strtol(text, &end, 10);
    return (end != text && ms >= 0 && ms <= 255) ? static_cast<int>(ms) : -1;
}

bool write_number(const char* path, unsigned value) {
    int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);  // as echo 1 > latency_timer does
    if (fd < 0) return false;
    char text[16];
    int length = std::snprintf(text, sizeof text, "%u\n", value);
    bool written = write(fd, text, static_cast<std::size_t>(length)) == length;
    close(fd);
    return written;
}

// Turns the driver's low-latency flag on or off. True only when it changed it.
bool switch_low_latency(int fd, bool on) {
    serial_struct info{};
    if (latency_seam::ioctl_function(fd, TIOCGSERIAL, &info) != 0) return false;
    bool is_on = (info.flags & ASYNC_LOW_LATENCY) != 0;
    if (is_on == on) return false;
    info.flags = on ? (info.flags | ASYNC_LOW_LATENCY) : (info.flags & ~ASYNC_LOW_LATENCY);
    return latency_seam::ioctl_function(fd, TIOCSSERIAL, &info) == 0;
}

}  // namespace

namespace latency_seam {
IoctlFunction ioctl_function = system_ioctl;
const char* sysfs_root = "/sys";
}  // namespace latency_seam

// Both keep errno as the caller left it: nothing done here is the caller's failure.
void lower_latency(int fd, const char* device_path, LatencyChanges& changes) {
    int caller_errno = errno;
    changes = LatencyChanges{};
    char path[PATH_MAX];
    bool has_timer = tty_name_of(device_path, changes.tty_name, sizeof changes.tty_name) &&
                     timer_path(changes.tty_name, path, sizeof path);
    // Read before the flag goes on: the FTDI driver then reports 1 whatever
    // the timer was set to.
    int old_timer_ms = has_timer ? read_timer(path) : -1;
    changes.low_latency_flag = switch_low_latency(fd, true);
    if (old_timer_ms > kLowestTimerMs && write_number(path, kLowestTimerMs)) {
        changes.old_timer_ms = old_timer_ms;
    }
    errno = caller_errno;
}

bool set_event_char(LatencyChanges& changes, int c) {
    int caller_errno = errno;
    char path[PATH_MAX];
    if (attribute_path(changes.tty_name, "event_char", path, sizeof path) &&
        write_number(path, kEventCharOn | static_cast<unsigned char>(c)))
        changes.event_char_set = true;
    errno = caller_errno;
    return changes.event_char_set;
}

void restore_latency(int fd, LatencyChanges& changes) {
    int caller_errno = errno;
    char path[PATH_MAX];
    if (changes.old_timer_ms >= 0 && timer_path(changes.tty_name, path, sizeof path)) {
        write_number(path, static_cast<unsigned>(changes.old_timer_ms));
    }
    if (changes.event_char_set && attribute_path(changes.tty_name, "event_char", path, sizeof path))
        write_number(path, 0);
    if (changes.low_latency_flag) switch_low_latency(fd, false);
    changes = LatencyChanges{};
    errno = caller_errno;
}
