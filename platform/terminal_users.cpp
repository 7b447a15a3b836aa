#include "platform/terminal_users.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// /dev/tty, /dev/console and /dev/ptmx share this major.
constexpr unsigned kTtyAuxMajor = 5;
constexpr unsigned kOwnTerminalMinor = 0;
constexpr unsigned kMultiplexerMinor = 2;

// A process's session and its controlling terminal (0: none).
struct SessionOf {
    pid_t session = 0;
    dev_t terminal = 0;
};

bool read_small_file(const char* path, char* text, std::size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t got = read(fd, text, size - 1);
    close(fd);
    if (got <= 0) return false;
    text[got] = '\0';
    return true;
}

// tty_nr in /proc/PID/stat has the minor in bits 31-20 and 7-0, the major in 15-8.
dev_t device_of_tty_nr(unsigned long nr) {
    return makedev((nr >> 8) & 0xfff, (nr & 0xff) | ((nr >> 12) & 0xfff00));
}

bool read_session(pid_t pid, SessionOf& of) {
    char path[64];
    char text[512];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    if (!read_small_file(path, text, sizeof text)) return false;
    // The name in parentheses may hold anything, ')' too: the fields follow the last one.
    const char* fields = std::strrchr(text, ')');
    int session = 0;
    unsigned long tty_nr = 0;
    if (fields == nullptr || std::sscanf(fields + 1, " %*c %*d %*d %d %lu", &session, &tty_nr) != 2)
        return false;
    of.session = session;
    of.terminal = tty_nr == 0 ? 0 : device_of_tty_nr(tty_nr);
    return true;
}

// The next process listed in /proc, or 0 at the end.
pid_t next_process(DIR* proc) {
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid > 0 && *end == '\0') return static_cast<pid_t>(pid);
    }
    return 0;
}

// The first process with `device` as its terminal; with `leader`, only the
// session's leader counts.
pid_t process_with_terminal(dev_t device, bool leader) {
    if (device == 0) return 0;  // no terminal at all
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    pid_t found = 0;
    SessionOf of;
    for (pid_t pid = next_process(proc); pid != 0 && found == 0; pid = next_process(proc)) {
        if (read_session(pid, of) && of.terminal == device && (!leader || of.session == pid))
            found = pid;
    }
    closedir(proc);
    return found;
}

bool has_open(pid_t pid, dev_t device) {
    char dir[64];
    std::snprintf(dir, sizeof dir, "/proc/%d/fd", pid);
    DIR* fds = opendir(dir);  // another user's are closed to us unless we are root
    if (fds == nullptr) return false;
    bool found = false;
    char path[320];
    struct stat info {};
    while (const dirent* entry = readdir(fds)) {
        std::snprintf(path, sizeof path, "%s/%s", dir, entry->d_name);
        if (entry->d_name[0] != '.' && stat(path, &info) == 0 && S_ISCHR(info.st_mode) &&
            info.st_rdev == device) {
            found = true;
            break;
        }
    }
    closedir(fds);
    return found;
}

pid_t other_process_with_open(dev_t device) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    pid_t found = 0;
    for (pid_t pid = next_process(proc); pid != 0 && found == 0; pid = next_process(proc)) {
        if (pid != getpid() && has_open(pid, device)) found = pid;
    }
    closedir(proc);
    return found;
}

// The process holding a flock on the file `info` describes: /proc/locks
// names the lock's file by its file system's device and inode.
pid_t lock_holder(const struct stat& info) {
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return 0;
    pid_t holder = 0;
    char line[256];
    while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        char kind[16];
        int pid = 0;
        unsigned device_major = 0;
        unsigned device_minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", kind, &pid, &device_major,
                        &device_minor, &inode) == 5 &&
            std::strcmp(kind, "FLOCK") == 0 && pid > 0 &&
            makedev(device_major, device_minor) == info.st_dev && inode == info.st_ino)
            holder = pid;
    }
    std::fclose(locks);
    return holder;
}

}  // namespace

bool is_pseudo_terminal_multiplexer(dev_t device) {
    return device == makedev(kTtyAuxMajor, kMultiplexerMinor);
}

bool is_session_terminal(dev_t device) {
    return device == makedev(kTtyAuxMajor, kOwnTerminalMinor) ||
           process_with_terminal(device, false) != 0;
}

bool find_terminal_user(const char* path, TerminalUser& user) {
    struct stat info {};
    if (stat(path, &info) != 0) return false;
    dev_t device = info.st_rdev;
    SessionOf own;
    if (device == makedev(kTtyAuxMajor, kOwnTerminalMinor) && read_session(getpid(), own))
        device = own.terminal;
    pid_t pid = lock_holder(info);
    if (pid == 0 && S_ISCHR(info.st_mode)) pid = process_with_terminal(device, true);
    if (pid == 0 && S_ISCHR(info.st_mode)) pid = other_process_with_open(device);
    if (pid == 0) return false;
    char path_of_name[64];
    std::snprintf(path_of_name, sizeof path_of_name, "/proc/%d/comm", pid);
    if (!read_small_file(path_of_name, user.name, sizeof user.name)) return false;
    user.name[std::strcspn(user.name, "\n")] = '\0';
    user.pid = pid;
    return true;
}
