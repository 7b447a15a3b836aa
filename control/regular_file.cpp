#include "control/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kNotRegular = "Not a regular file";

// Null when `info` is a regular file, else why it is refused.
const char* refusal(const struct stat& info) {
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    return S_ISREG(info.st_mode) ? nullptr : kNotRegular;
}

}  // namespace

int open_regular_file(const char* path, const char*& reason) {
    struct stat info {};
    // Looked at before the open, so a device is never opened at all ...
    if (stat(path, &info) != 0) {
        reason = std::strerror(errno);
        return -1;
    }
    if ((reason = refusal(info)) != nullptr) return -1;
    // ... and after it, as the name may have been changed in between. Opening
    // without blocking has no effect on a regular file.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    reason = fstat(fd, &info) != 0 ? std::strerror(errno) : refusal(info);
    if (reason == nullptr) return fd;
    close(fd);
    return -1;
}
