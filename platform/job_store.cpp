#include "platform/job_store.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t kStorePathSize = 1024;

constexpr std::size_t kLargestRecord = 4096;

int open_fd = -1;
char open_path[kStorePathSize];
// The open record's bytes: its mapping, or else the copy here.
char* bytes = nullptr;
std::size_t byte_count = 0;
bool mapped = false;
std::array<char, kLargestRecord> copy;

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
void make_directories(char* path) {
    for (char* slash = path + 1; *slash != '\0'; ++slash) {
        if (*slash != '/') continue;
        *slash = '\0';
        mkdir(path, 0700);
        *slash = '/';
    }
}

// Filesystems that rewrite a file's blocks in place: once the record's blocks
// are there, a write into its mapping never needs new space, so it cannot fail
// (a failed one would end the program with SIGBUS). On the others (btrfs, ZFS,
// network filesystems) every update is a write call, whose failure is told.
bool rewrites_in_place(int fd) {
    struct statfs info {};
    if (fstatfs(fd, &info) != 0) return false;
    return info.f_type == EXT4_SUPER_MAGIC || info.f_type == XFS_SUPER_MAGIC ||
           info.f_type == TMPFS_MAGIC;
}

bool write_out(std::size_t offset, std::size_t size) {
    while (size > 0) {
        const ssize_t done =
            pwrite(open_fd, copy.data() + offset, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        size -= static_cast<std::size_t>(done);
        offset += static_cast<std::size_t>(done);
    }
    return true;
}

bool fail_closing(int fd) {
    const int error = errno;
    close(fd);
    errno = error;
    return false;
}

}  // namespace

bool job_store_open(int port, std::size_t size) {
    job_store_close(false);
    if (size > copy.size()) {
        errno = EINVAL;
        return false;
    }
    if (!record_path(port, open_path, sizeof open_path)) return false;
    make_directories(open_path);
    const int fd = open(open_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
        return fail_closing(fd);
    // Every byte written once, so the filesystem has set aside blocks for
    // them: a full disk is told here, not met by a change in the mapping.
    open_fd = fd;
    copy.fill('\0');
    if (!write_out(0, size)) {
        open_fd = -1;
        return fail_closing(fd);
    }
    bytes = copy.data();
    byte_count = size;
    if (!rewrites_in_place(fd)) return true;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) return true;
    bytes = static_cast<char*>(memory);
    mapped = true;
    return true;
}

char* job_store_bytes() {
    return bytes;
}

bool job_store_commit(std::size_t offset, std::size_t size) {
    return mapped || write_out(offset, size);
}

bool job_store_sync() {
    if (mapped) return msync(bytes, byte_count, MS_SYNC) == 0;
    return fdatasync(open_fd) == 0;
}

void job_store_close(bool remove) {
    if (mapped) munmap(bytes, byte_count);
    mapped = false;
    bytes = nullptr;
    if (open_fd < 0) return;
    if (remove) unlink(open_path);
    close(open_fd);
    open_fd = -1;
}

long job_store_read(int port, char* data, std::size_t size) {
    char path[kStorePathSize];
    if (!record_path(port, path, sizeof path)) return -1;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    // A state directory that is not there, or is a file, holds no record.
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (info.st_mode != 0) errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        fail_closing(fd);
        return -1;
    }
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        close(fd);
        return kRecordBusy;
    }
    std::size_t got = 0;
    while (got < size) {
        const ssize_t done = pread(fd, data + got, size - got, static_cast<off_t>(got));
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) {
            fail_closing(fd);
            return -1;
        }
        if (done == 0) break;
        got += static_cast<std::size_t>(done);
    }
    close(fd);
    return static_cast<long>(got);
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
