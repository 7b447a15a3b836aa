#include "platform/system_log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

void system_log(const char* line) {
    static bool opened = false;
    if (!opened) openlog("vqdnc", LOG_PID, LOG_USER);
    opened = true;
    syslog(LOG_INFO, "%s", line);
}

// The name the login gave the session. The password database is not asked:
// its modules (systemd, LDAP) can take long to load, and the journal notes
// the user's number with every line anyway.
void user_name(char* text, std::size_t size) {
    const char* name = std::getenv("LOGNAME");
    if (name == nullptr || name[0] == '\0') name = std::getenv("USER");
    if (name != nullptr && name[0] != '\0') {
        std::snprintf(text, size, "%s", name);
    } else {
        std::snprintf(text, size, "%u", static_cast<unsigned>(getuid()));
    }
}
