#include "platform/device_map.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/shown_text.h"

namespace {

// Bytes kept from each end of a path too long to show whole.
constexpr std::size_t kShownEnd = (kShownPathSize - 4) / 2;

// The value of VQDNC_COM<port + 1>, or null when it is not set.
const char* mapped_path(int port) {
    char variable[32];
    std::snprintf(variable, sizeof variable, "VQDNC_COM%d", port + 1);
    return std::getenv(variable);
}

}  // namespace

bool device_path(int port, char* path, std::size_t size) {
    const char* mapped = mapped_path(port);
    int written = mapped != nullptr ? std::snprintf(path, size, "%s", mapped)
                                    : std::snprintf(path, size, "/dev/ttyS%d", port);
    return written >= 0 && static_cast<std::size_t>(written) < size;
}

void shown_device_path(int port, char* text, std::size_t size) {
    if (size < kShownPathSize) return;
    char fallback[32];
    const char* mapped = mapped_path(port);
    if (mapped == nullptr) {
        std::snprintf(fallback, sizeof fallback, "/dev/ttyS%d", port);
        mapped = fallback;
    }
    const std::string_view path = mapped;
    std::size_t used = 0;
    if (shown_size(path) < kShownPathSize) {
        append_shown(path, text, kShownPathSize - 1, used);
    } else {
        // The start up to kShownEnd characters shown, then the end likewise.
        append_shown(path, text, kShownEnd, used);
        std::size_t tail = path.size();
        while (shown_size(path.substr(tail - 1)) <= kShownEnd)
            --tail;
        std::memcpy(text + used, "...", 3);
        used += 3;
        append_shown(path.substr(tail), text, kShownPathSize - 1, used);
    }
    text[used] = '\0';
}
