#include "platform/device_map.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Bytes kept from each end of a path too long to show whole.
constexpr std::size_t kShownEnd = (kShownPathSize - 4) / 2;

// The value of VQDNC_COM<port + 1>, or null when it is not set.
const char* mapped_path(int port) {
    char variable[32];
    std::snprintf(variable, sizeof variable, "VQDNC_COM%d", port + 1);
    return std::getenv(variable);
}

// A control character in a path would move the cursor or ring the bell.
std::size_t shown_length(unsigned char c) {
    return c < 0x20 || c == 0x7f ? 4 : 1;
}

std::size_t append_shown(char* text, std::size_t used, unsigned char c) {
    if (shown_length(c) == 1) {
        text[used] = static_cast<char>(c);
        return used + 1;
    }
    std::snprintf(text + used, 5, "\\x%02X", c);
    return used + 4;
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
    const char* path = mapped_path(port);
    if (path == nullptr) {
        std::snprintf(fallback, sizeof fallback, "/dev/ttyS%d", port);
        path = fallback;
    }
    const std::size_t length = std::strlen(path);
    std::size_t whole = 0;
    for (std::size_t i = 0; i < length; ++i)
        whole += shown_length(static_cast<unsigned char>(path[i]));
    const bool cut = whole >= kShownPathSize;
    // The start up to kShownEnd characters shown, then the end likewise.
    std::size_t head = 0;
    for (std::size_t shown = 0; head < length; ++head) {
        shown += shown_length(static_cast<unsigned char>(path[head]));
        if (cut && shown > kShownEnd) break;
    }
    std::size_t tail = length;
    for (std::size_t shown = 0; cut && tail > head; --tail) {
        shown += shown_length(static_cast<unsigned char>(path[tail - 1]));
        if (shown > kShownEnd) break;
    }
    std::size_t used = 0;
    for (std::size_t i = 0; i < head; ++i)
        used = append_shown(text, used, static_cast<unsigned char>(path[i]));
    if (cut) {
        std::memcpy(text + used, "...", 3);
        used += 3;
        for (std::size_t i = tail; i < length; ++i)
            used = append_shown(text, used, static_cast<unsigned char>(path[i]));
    }
    text[used] = '\0';
}
