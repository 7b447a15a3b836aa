#include "platform/device_map.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool device_path(int port, char* path, std::size_t size) {
    char variable[32];
    std::snprintf(variable, sizeof variable, "VQDNC_COM%d", port + 1);
    const char* mapped = std::getenv(variable);
    int written = (mapped != nullptr && mapped[0] != '\0')
                      ? std::snprintf(path, size, "%s", mapped)
                      : std::snprintf(path, size, "/dev/ttyS%d", port);
    return written >= 0 && static_cast<std::size_t>(written) < size;
}
