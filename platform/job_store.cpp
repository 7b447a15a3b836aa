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

constexpr std::size_t kStorePathSize = 1024;

int open_fd = -1;
char open_path[kStorePathSize];

bool fits(int length, std::size_t size) {
    if (length >= 0 && static_cast<std::size_t>(length) < size) return true;
    errno = ENAMETOOLONG;
    return false;
}

// The XDG base directory rules: a relative XDG_STATE_HOME is ignored, and
// without HOME the password database names the home directory.
bool state_directory(char* path, std::size_t size) {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return fits(std::snprintf(path, size, "%s/vqdnc", state), size);
    const char* home = std::getenv("HOME");
    char buffer[1024];
    passwd entry{};
    passwd* found = nullptr;
    if ((home == nullptr || home[0] != '/') &&
        getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        home = found->pw_dir;
    if (home == nullptr || home[0] != '/') {
        errno = ENOENT;
        return false;
    }
    return fits(std::snprintf(path, size, "%s/.local/state/vqdnc", home), size);
}

bool record_path(int port, char* path, std::size_t size) {
    char directory[kStorePathSize];
    return state_directory(directory, sizeof directory) &&
           fits(std::snprintf(path, size, "%s/COM%d.job", directory, port + 1), size);
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
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0) {
        const int error = errno;
        close(fd);
        return error == EWOULDBLOCK ? "another vqdnc is using it" : std::strerror(error);
    }
    open_fd = fd;
    return nullptr;
}

bool job_store_write(std::size_t offset, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = pwrite(open_fd, data, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        size -= static_cast<std::size_t>(done);
        offset += static_cast<std::size_t>(done);
        data += done;
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
    char path[kStorePathSize];
    running = false;
    if (!record_path(port, path, sizeof path)) return -1;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    // A state directory that is not there, or is a file, holds no record.
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : info.st_mode != 0 ? EINVAL : errno;
        close(fd);
        errno = error;
        return -1;
    }
    running = flock(fd, LOCK_SH | LOCK_NB) != 0;
    std::size_t got = 0;
    ssize_t done = 1;
    while (got < size && done != 0) {
        done = pread(fd, data + got, size - got, static_cast<off_t>(got));
        if (done < 0 && errno != EINTR) break;
        if (done > 0) got += static_cast<std::size_t>(done);
    }
    const int error = errno;
    close(fd);
    errno = error;
    return done < 0 ? -1 : static_cast<long>(got);
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
