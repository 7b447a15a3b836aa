#include "platform/device_hint.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/device_map.h"
#include "platform/terminal_users.h"

namespace device_seam {
const char* dev_root = "/dev";
}  // namespace device_seam

namespace {

constexpr int kShownDevices = 4;
constexpr std::size_t kNameSize = 256;  // a directory entry's name and its end

// The first few names in name order, and how many there were in all.
struct Found {
    char names[kShownDevices][kNameSize];
    int shown = 0;
    int total = 0;
};

void keep_in_order(Found& found, const char* name) {
    ++found.total;
    int at = found.shown;
    while (at > 0 && std::strcmp(name, found.names[at - 1]) < 0)
        --at;
    if (at >= kShownDevices) return;
    int last = found.shown < kShownDevices ? found.shown : kShownDevices - 1;
    for (int i = last; i > at; --i)
        std::memcpy(found.names[i], found.names[i - 1], kNameSize);
    std::snprintf(found.names[at], kNameSize, "%s", name);
    if (found.shown < kShownDevices) ++found.shown;
}

bool starts_with(const char* text, const char* start) {
    return std::strncmp(text, start, std::strlen(start)) == 0;
}

// Collects the entries of `dir` beginning with one of `prefixes` (an empty one
// takes every entry but the hidden ones).
void scan(const char* dir, const char* const* prefixes, int prefix_count, Found& found) {
    DIR* listing = opendir(dir);
    if (listing == nullptr) return;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        for (int i = 0; i < prefix_count; ++i) {
            if (starts_with(entry->d_name, prefixes[i])) {
                keep_in_order(found, entry->d_name);
                break;
            }
        }
    }
    closedir(listing);
}

// Appends to `text` at `used`, never past `size`. Returns the new length.
std::size_t append(char* text, std::size_t size, std::size_t used, const char* part) {
    if (used >= size) return used;
    int written = std::snprintf(text + used, size - used, "%s", part);
    std::size_t grown = used + (written > 0 ? static_cast<std::size_t>(written) : 0);
    return grown < size ? grown : size - 1;
}

void name_of_user(uid_t uid, char* name, std::size_t size) {
    const passwd* entry = getpwuid(uid);
    if (entry != nullptr) {
        std::snprintf(name, size, "%s", entry->pw_name);
    } else {
        std::snprintf(name, size, "%u", static_cast<unsigned>(uid));
    }
}

void name_of_group(gid_t gid, char* name, std::size_t size) {
    const group* entry = getgrgid(gid);
    if (entry != nullptr) {
        std::snprintf(name, size, "%s", entry->gr_name);
    } else {
        std::snprintf(name, size, "%u", static_cast<unsigned>(gid));
    }
}

// Who may open the device. Joining its group helps only when that group may
// read and write it, and root's group is no group to join.
void explain_permission(const char* path, char* text, std::size_t size) {
    struct stat info {};
    if (stat(path, &info) != 0) {
        std::snprintf(text, size, "permission denied");
        return;
    }
    char owner[64];
    char group_name[64];
    name_of_user(info.st_uid, owner, sizeof owner);
    name_of_group(info.st_gid, group_name, sizeof group_name);
    const unsigned mode = info.st_mode & 07777;
    if ((mode & 060) == 060 && info.st_gid != 0) {
        std::snprintf(text, size,
                      "permission denied (owner %s, group %s, mode %04o) - add your user to the "
                      "%s group (sudo usermod -aG %s $USER) and log in again",
                      owner, group_name, mode, group_name, group_name);
    } else {
        std::snprintf(text, size,
                      "permission denied (owner %s, group %s, mode %04o) - ask the administrator "
                      "for read and write access to it",
                      owner, group_name, mode);
    }
}

void explain_in_use(const char* path, char* text, std::size_t size) {
    TerminalUser user;
    if (find_terminal_user(path, user)) {
        std::snprintf(text, size,
                      "in use by another program (%s, PID %d) - close that program first",
                      user.name, static_cast<int>(user.pid));
    } else {
        std::snprintf(text, size, "in use by another program - close that program first");
    }
}

bool is_multiplexer(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISCHR(info.st_mode) &&
           is_pseudo_terminal_multiplexer(info.st_rdev);
}

}  // namespace

void list_serial_devices(char* text, std::size_t size) {
    if (size == 0) return;
    char dir[PATH_MAX];
    std::snprintf(dir, sizeof dir, "%s/serial/by-id", device_seam::dev_root);
    static const char* const kAnyName[] = {""};
    static const char* const kAdapterNames[] = {"ttyUSB", "ttyACM"};
    Found found;
    scan(dir, kAnyName, 1, found);
    if (found.total == 0) {
        std::snprintf(dir, sizeof dir, "%s", device_seam::dev_root);
        scan(dir, kAdapterNames, 2, found);
    }
    if (found.total == 0) {
        std::snprintf(text, size, "none found");
        return;
    }
    std::size_t used = append(text, size, 0, "found:");
    for (int i = 0; i < found.shown; ++i) {
        used = append(text, size, used, " ");
        used = append(text, size, used, dir);
        used = append(text, size, used, "/");
        used = append(text, size, used, found.names[i]);
    }
    if (found.total > found.shown) append(text, size, used, " ...");
}

void describe_open_failure(int port, int error, char* text, std::size_t size) {
    char path[PATH_MAX];
    const bool whole = device_path(port, path, sizeof path);
    const int channel = port + 1;
    char devices[1024];
    if (whole && path[0] == '\0') {
        list_serial_devices(devices, sizeof devices);
        std::snprintf(text, size,
                      "COM%d has no device: VQDNC_COM%d is empty - set it to the controller's "
                      "serial device (%s)",
                      channel, channel, devices);
        return;
    }
    char shown[kShownPathSize];
    shown_device_path(port, shown, sizeof shown);
    int written = std::snprintf(text, size, "COM%d is %s: ", channel, shown);
    if (written < 0 || static_cast<std::size_t>(written) >= size) return;
    char* rest = text + written;
    std::size_t room = size - static_cast<std::size_t>(written);
    // EIO: a device node with no port behind it, as /dev/ttyS1 on most PCs.
    if (error == ENOENT || error == ENODEV || error == ENXIO || error == EIO) {
        list_serial_devices(devices, sizeof devices);
        std::snprintf(
            rest, room, "%s - set VQDNC_COM%d to the controller's serial device (%s)",
            error == EIO ? "no serial port answers (input/output error)" : "no such device",
            channel, devices);
    } else if (error == EACCES || error == EPERM) {
        explain_permission(path, rest, room);
    } else if (error == EBUSY || error == EWOULDBLOCK) {
        explain_in_use(path, rest, room);
    } else if (error == ENOTTY && is_multiplexer(path)) {
        std::snprintf(rest, room,
                      "not a serial device (each open makes a new pseudo-terminal) - "
                      "VQDNC_COM%d must name the controller's serial device",
                      channel);
    } else if (error == ENOTTY || error == EISDIR) {
        std::snprintf(rest, room, "not a terminal - VQDNC_COM%d must name a serial device",
                      channel);
    } else {
        std::snprintf(rest, room, "%s", std::strerror(error));
    }
}
