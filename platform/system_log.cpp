#include "platform/system_log.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int kUserInfo = 1 * 8 + 6;  // facility user, level info
int log_fd = -1;
const char* log_path = "/dev/log";

// The log's socket, connected once. False where no log listens.
bool connect_log() {
    if (log_fd >= 0) return true;
    log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", log_path);
    if (log_fd >= 0 &&
        connect(log_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    if (log_fd >= 0) close(log_fd);
    log_fd = -1;
    return false;
}

}  // namespace

void use_log_socket(const char* path) {
    if (log_fd >= 0) close(log_fd);
    log_fd = -1;
    log_path = path;
}

LogResult system_log(const char* line) {
    if (!connect_log()) return LogResult::no_log;
    // As syslog(3) sends it: priority, time, tag with the process number.
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%b %e %T", &local);
    char message[2200];
    const int length = std::snprintf(message, sizeof message, "<%d>%s vqdnc[%d]: %s", kUserInfo,
                                     stamp, static_cast<int>(getpid()), line);
    const std::size_t size =
        std::min(static_cast<std::size_t>(std::max(length, 0)), sizeof message - 1);
    ssize_t sent;
    do {
        sent = send(log_fd, message, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) return LogResult::sent;
    if (errno == EAGAIN || errno == ENOBUFS) return LogResult::dropped;
    // A log that went away (restarted) is looked for again with the next line.
    close(log_fd);
    log_fd = -1;
    return LogResult::no_log;
}

// The name the login gave the session, else the password database's.
void user_name(char* text, std::size_t size) {
    const char* name = std::getenv("LOGNAME");
    if (name == nullptr || name[0] == '\0') name = std::getenv("USER");
    char buffer[1024];
    passwd entry{};
    passwd* found = nullptr;
    if ((name == nullptr || name[0] == '\0') &&
        getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        name = found->pw_name;
    if (name != nullptr && name[0] != '\0') {
        std::snprintf(text, size, "%s", name);
    } else {
        std::snprintf(text, size, "%u", static_cast<unsigned>(getuid()));
    }
}
