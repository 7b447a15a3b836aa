// The optional configuration file "dnconfig.txt": key words and their values,
// separated by any white space, keys matched without regard to case.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

#include "control/regular_file.h"
#include "control/settings.h"
#include "control/text.h"
#include "control/word.h"
#include "platform/shown_text.h"

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

// "stopword ERR FAULT": every word after the key's first, up to the line's
// end, is a stop word too, unless it is a key, so a file that has its keys on
// one line reads as before.
constexpr std::array<std::string_view, 4> kKeys = {"baudrate", "comchannel", "promptchar",
                                                   "stopword"};

bool is_key(std::string_view word) {
    return std::any_of(kKeys.begin(), kKeys.end(),
                       [word](std::string_view key) { return equal_ignoring_case(word, key); });
}

// Skips the blanks before the next word; false when the line ends first.
bool line_goes_on(FileSource& source) {
    while (is_blank(source.peek()) && !is_line_end(source.peek()))
        source.get();
    return !is_line_end(source.peek());  // at the end of the file no word follows anyway
}

bool is_stop_word(std::string_view word) {
    if (word.empty() || word.size() >= kStopWordSize) return false;
    for (char c : word) {
        if (!is_letter_or_digit(c)) return false;
    }
    return true;
}

// "stopword WORD...", repeatable: the words the file names replace the
// built-in ones, and "stopword none" leaves none. A word that could never
// match is refused aloud, and replaces nothing: dropped unseen, it would let
// the controller's error pass.
void apply_stop_word(const Word<kConfigWordSize>& value, bool& replaced) {
    if (value.ended) return;
    const std::string_view word = value.view();
    if (equal_ignoring_case(word, "none")) {
        settings.stop_words = {};
        replaced = true;
        return;
    }
    if (is_stop_word(word)) {
        if (!replaced) settings.stop_words = {};
        replaced = true;
        for (StopWord& slot : settings.stop_words) {
            if (slot[0] != '\0') continue;
            for (std::size_t i = 0; i < word.size(); ++i)
                slot[i] = lower_ascii(word[i]);
            return;
        }
    }
    std::printf("Stop word ignored: %s (up to %zu words of up to %zu letters and digits)\n",
                shown(word).c_str(), kStopWordCount, kStopWordSize - 1);
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
    bool stop_words_replaced = false;
    bool stop_word_line = false;
    for (;;) {
        stop_word_line = stop_word_line && line_goes_on(source);
        Word<kConfigWordSize> key = read_word<kConfigWordSize>(source);
        if (key.ended) break;
        if (stop_word_line && !is_key(key.view())) {
            apply_stop_word(key, stop_words_replaced);
            continue;
        }
        stop_word_line = false;
        // A value not recognised leaves the earlier one (or the default) standing.
        if (equal_ignoring_case(key.view(), "baudrate")) {
            const std::int32_t rate = parse_rate(value_after(source, key, value));
            if (rate != kUnrecognized) settings.rate_code = rate;
        } else if (equal_ignoring_case(key.view(), "comchannel")) {
            const std::int32_t port = parse_channel(value_after(source, key, value));
            if (port != kUnrecognized) settings.port_number = port;
        } else if (equal_ignoring_case(key.view(), "promptchar")) {
            apply_prompt_char(source);
        } else if (equal_ignoring_case(key.view(), "stopword")) {
            apply_stop_word(read_word<kConfigWordSize>(source), stop_words_replaced);
            stop_word_line = true;
        }
    }
}
