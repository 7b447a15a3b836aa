// The configuration file reader on any bytes: the settings it leaves and the
// messages it prints must be those of a plain reading of the file's words.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "control/settings.h"
#include "control/text.h"
#include "fuzz/fuzz_support.h"
#include "platform/shown_text.h"

namespace {

constexpr std::size_t kWordKept = 99;

struct Reading {
    std::string_view data;
    std::size_t pos = 0;
    std::int32_t rate_code = 9;
    std::int32_t port_number = 0;
    char prompt_char = '-';
    StopWords stop_words = kDefaultStopWords;
    bool stop_words_replaced = false;
    std::string printed;
};

void skip_blanks(Reading& r) {
    while (r.pos < r.data.size() && is_blank(static_cast<unsigned char>(r.data[r.pos])))
        ++r.pos;
}

// The next word, its first 99 characters kept; false at the end of the file.
bool next_word(Reading& r, std::string& word) {
    skip_blanks(r);
    if (r.pos == r.data.size()) return false;
    std::size_t start = r.pos;
    while (r.pos < r.data.size() && !is_blank(static_cast<unsigned char>(r.data[r.pos])))
        ++r.pos;
    word.assign(r.data.substr(start, std::min(r.pos - start, kWordKept)));
    return true;
}

// A value not recognised changes nothing, and a line says what is kept.
void keep(Reading& r) {
    r.printed += "  COM" + std::to_string(r.port_number + 1) + " at " +
                 std::to_string(rate_value(r.rate_code)) + " kept - nothing changed\n";
}

void apply_rate(Reading& r, const std::string& text) {
    static constexpr std::string_view kTexts[] = {"2400",  "4800",  "9600",  "19200",
                                                  "38400", "57200", "115200"};
    for (int i = 0; i < 7; ++i) {
        if (text == kTexts[i]) {
            r.rate_code = 3 + i;
            return;
        }
    }
    if (text == "57600") {
        r.rate_code = 8;
        return;
    }
    r.printed += "Unrecognized baud rate\n";
    keep(r);
}

void apply_channel(Reading& r, const std::string& text) {
    for (int i = 0; i < 13; ++i) {
        if (equal_ignoring_case(text, "COM" + std::to_string(i + 1))) {
            r.port_number = i;
            return;
        }
    }
    r.printed += "Unrecognized com channel: " + std::string(shown(text).c_str()) + "\n";
    keep(r);
}

// A word of letters and digits that fits takes a free place, the first one
// replacing the built-in words; "none" leaves none; any other is refused.
void apply_stop_word(Reading& r, const std::string& word) {
    if (equal_ignoring_case(word, "none")) {
        r.stop_words = {};
        r.stop_words_replaced = true;
        return;
    }
    bool fits = !word.empty() && word.size() < kStopWordSize;
    for (char c : word)
        fits = fits && is_letter_or_digit(c);
    if (fits && !r.stop_words_replaced) r.stop_words = {};
    r.stop_words_replaced = r.stop_words_replaced || fits;
    for (StopWord& slot : r.stop_words) {
        if (!fits || slot[0] != '\0') continue;
        for (std::size_t i = 0; i < word.size(); ++i)
            slot[i] = lower_ascii(word[i]);
        return;
    }
    r.printed += "Stop word ignored: " + std::string(shown(word).c_str()) +
                 " (up to 8 words of up to 31 letters and digits)\n";
}

bool is_key(const std::string& word) {
    for (std::string_view key : {"baudrate", "comchannel", "promptchar", "stopword"}) {
        if (equal_ignoring_case(word, key)) return true;
    }
    return false;
}

// The blanks before the next word of this line; false when the line ends first.
bool line_goes_on(Reading& r) {
    auto at = [&r] { return static_cast<unsigned char>(r.data[r.pos]); };
    while (r.pos < r.data.size() && is_blank(at()) && !is_line_end(at()))
        ++r.pos;
    return r.pos == r.data.size() || !is_line_end(at());
}

// The words after a stopword key's first, to the end of its line, are stop
// words too, up to a key word.
void read_all(Reading& r) {
    if (r.data.starts_with("\xEF\xBB\xBF")) r.pos = 3;  // a byte-order mark
    std::string key;
    std::string value;
    bool stop_word_line = false;
    for (;;) {
        stop_word_line = stop_word_line && line_goes_on(r);
        if (!next_word(r, key)) break;
        if (stop_word_line && !is_key(key)) {
            apply_stop_word(r, key);
            continue;
        }
        stop_word_line = false;
        if (equal_ignoring_case(key, "baudrate")) {
            apply_rate(r, next_word(r, value) ? value : key);
        } else if (equal_ignoring_case(key, "comchannel")) {
            apply_channel(r, next_word(r, value) ? value : key);
        } else if (equal_ignoring_case(key, "promptchar")) {
            skip_blanks(r);
            if (r.pos < r.data.size()) r.prompt_char = r.data[r.pos++];
        } else if (equal_ignoring_case(key, "stopword")) {
            if (next_word(r, value)) apply_stop_word(r, value);
            stop_word_line = true;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy with one spare byte: fmemopen wants a buffer that is not empty.
    std::string bytes(reinterpret_cast<const char*>(data), size);
    bytes.push_back('\0');
    std::FILE* file = fmemopen(bytes.data(), size == 0 ? 1 : size, "r");
    if (file == nullptr) return 0;
    if (size == 0) std::fgetc(file);  // the spare byte is not part of the file

    settings = Settings{};
    fuzz::Capture capture;
    fuzz::begin(capture);
    load_config_from(file);
    std::string printed = fuzz::end(capture);
    std::fclose(file);

    Reading expected;
    expected.data = std::string_view(reinterpret_cast<const char*>(data), size);
    read_all(expected);
    fuzz::check(settings.rate_code == expected.rate_code, "rate code as the file says");
    fuzz::check(settings.port_number == expected.port_number, "port number as the file says");
    fuzz::check(settings.prompt_char == expected.prompt_char, "prompt character as the file says");
    fuzz::check(printed == expected.printed, "messages as the file's values call for");
    fuzz::check(settings.stop_words == expected.stop_words, "stop words as the file names them");
    fuzz::check(settings.rate_code >= 3 && settings.rate_code <= 9, "rate code selectable");
    fuzz::check(settings.port_number >= 0 && settings.port_number <= 12, "port number COM1..COM13");
    fuzz::check(settings.download_path[0] == '\0', "download path untouched");
    return 0;
}
