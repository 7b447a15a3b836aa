// The optional configuration file "dnconfig.txt": key words and their values,
// separated by any white space, keys matched without regard to case.
#include <unistd.h>

#include <cstdio>

#include "control/settings.h"
#include "control/word.h"
#include "platform/regular_file.h"

namespace {

constexpr std::size_t kConfigWordSize = 100;  // 99 characters and the terminator

struct FileSource {
    std::FILE* file;
    int peek() {
        int c = std::getc(file);
        if (c != EOF) std::ungetc(c, file);
        return c;
    }
    int get() { return std::getc(file); }
};

// The value after a key. At the end of the file the key itself stands in for
// it, so the operator sees the parse message naming the dangling key.
std::string_view value_after(FileSource& source, Word<kConfigWordSize>& key,
                             Word<kConfigWordSize>& value) {
    value = read_word<kConfigWordSize>(source);
    return value.ended ? key.view() : value.view();
}

void apply_prompt_char(FileSource& source) {
    while (source.peek() >= 0 && is_blank(source.peek()))
        source.get();
    int c = source.get();
    if (c >= 0) settings.prompt_char = static_cast<char>(c);
}

// Editors on other systems may save the file with a UTF-8 byte-order mark;
// read as part of the first word, it would hide that key.
void skip_byte_order_mark(std::FILE* file) {
    const long start = std::ftell(file);
    const unsigned char mark[] = {0xEF, 0xBB, 0xBF};
    for (unsigned char byte : mark) {
        if (std::getc(file) != byte) {
            std::fseek(file, start, SEEK_SET);
            return;
        }
    }
}

}  // namespace

// Anything but a regular file counts as missing: a FIFO or /dev/zero would
// hang or spin before the banner.
int load_config() {
    const char* reason = nullptr;
    const int fd = open_regular_file("dnconfig.txt", reason);
    if (fd < 0) return -1;
    std::FILE* file = fdopen(fd, "r");
    if (file == nullptr) {
        close(fd);
        return -1;
    }
    load_config_from(file);
    std::fclose(file);
    return 1;
}

void load_config_from(std::FILE* file) {
    skip_byte_order_mark(file);
    FileSource source{file};
    Word<kConfigWordSize> value;
    for (;;) {
        Word<kConfigWordSize> key = read_word<kConfigWordSize>(source);
        if (key.ended) break;
        // A value not recognised leaves the earlier one (or the default) standing.
        if (equal_ignoring_case(key.view(), "baudrate")) {
            const std::int32_t rate = parse_rate(value_after(source, key, value));
            if (rate != kUnrecognized) settings.rate_code = rate;
        } else if (equal_ignoring_case(key.view(), "comchannel")) {
            const std::int32_t port = parse_channel(value_after(source, key, value));
            if (port != kUnrecognized) settings.port_number = port;
        } else if (equal_ignoring_case(key.view(), "promptchar")) {
            apply_prompt_char(source);
        }
    }
}
