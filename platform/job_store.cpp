#include "platform/job_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int open_fd = -1;
char open_path[1024];

// The XDG base directory rules: a relative XDG_STATE_HOME is ignored, and
// without HOME the password database names the home directory.
bool record_path(int port, char* path, std::size_t size) {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    char buffer[1024];
    passwd entry{};
    passwd* found = nullptr;
    if ((home == nullptr || home[0] != '/') &&
        getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        home = found->pw_dir;
    const bool own_state = state != nullptr && state[0] == '/';
    errno = ENOENT;
    if (!own_state && (home == nullptr || home[0] != '/')) return false;
    const int length = std::snprintf(path, size, "%s%s/vqdnc/COM%d.job", own_state ? state : home,
                                     own_state ? "" : "/.local/state", port + 1);
    errno = ENAMETOOLONG;
    return length > 0 && static_cast<std::size_t>(length) < size;
}

// Makes each missing directory above the record, private to the user.
// Returns why the first that was missing could not be made, or 0.
int make_directories(char* path) {
    int error = 0;
    for (char* slash = path + 1; *slash != '\0'; ++slash) {
        if (*slash != '/') continue;
        *slash = '\0';
        if (mkdir(path, 0700) != 0 && errno != EEXIST && error == 0) error = errno;
        *slash = '/';
    }
    return error;
}

}  // namespace

const char* job_store_open(int port) {
    job_store_close(false);
    if (!record_path(port, open_path, sizeof open_path)) return std::strerror(errno);
    const int made = make_directories(open_path);
    const int fd = open(open_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // A directory that could not be made says why, not that the record is missing.
    if (fd < 0) return std::strerror(errno == ENOENT && made != 0 ? made : errno);
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && ftruncate(fd, 0) == 0) {
        open_fd = fd;
        return nullptr;
    }
    const int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? "another vqdnc is using it" : std::strerror(error);
}

bool job_store_write(std::size_t offset, const char* data, std::size_t size) {
    for (ssize_t done = 0; size > 0; offset += done, data += done, size -= done) {
        done = pwrite(open_fd, data, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) {
            done = 0;
        } else if (done <= 0) {
            return false;
        }
    }
    return true;
}

bool job_store_still_there() {
    struct stat open_info {};
    struct stat path_info {};
    return fstat(open_fd, &open_info) == 0 && lstat(open_path, &path_info) == 0 &&
           open_info.st_ino == path_info.st_ino && open_info.st_dev == path_info.st_dev;
}

bool job_store_sync() {
    return fdatasync(open_fd) == 0;
}

void job_store_close(bool remove) {
    if (open_fd < 0) return;
    if (remove && job_store_still_there()) unlink(open_path);
    close(open_fd);
    open_fd = -1;
}

long job_store_read(int port, char* data, std::size_t size, bool& running) {
    char path[1024];
    running = false;
    if (!record_path(port, path, sizeof path)) return -1;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    // A state directory that is not there, or is a file, holds no record.
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    struct stat info {};
    ssize_t got = -1;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        running = flock(fd, LOCK_SH | LOCK_NB) != 0;
        do {
            got = pread(fd, data, size, 0);
        } while (got < 0 && errno == EINTR);
    } else if (info.st_mode != 0) {
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    }
    const int error = errno;
    close(fd);
    errno = error;
    return got;
}

void job_store_path(int port, char* text, std::size_t size) {
    if (!record_path(port, text, size)) std::snprintf(text, size, "(no state directory)");
}

std::int64_t wall_clock_s() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

void boot_id(char* text, std::size_t size) {
    const int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd < 0 ? -1 : read(fd, text, size - 1);
    if (fd >= 0) close(fd);
    std::size_t length = got > 0 ? static_cast<std::size_t>(got) : 0;
    while (length > 0 && text[length - 1] == '\n')
        --length;
    text[length] = '\0';
    if (length == 0) std::snprintf(text, size, "unknown");
}
