#include "platform/system_log.h"

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

void system_log(const char* line) {
    static bool opened = false;
    if (!opened) openlog("vqdnc", LOG_PID, LOG_USER);
    opened = true;
    syslog(LOG_INFO, "%s", line);
}

void user_name(char* text, std::size_t size) {
    char buffer[1024];
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        std::snprintf(text, size, "%s", found->pw_name);
    } else {
        std::snprintf(text, size, "%u", static_cast<unsigned>(getuid()));
    }
}
