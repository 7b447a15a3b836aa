// The word reader behind console commands and configuration words, on any
// bytes and at several buffer sizes: every word must be the next run of
// non-blank bytes, cut to the buffer, with nothing lost between words.
#include <cstdint>
#include <string_view>

#include "control/text.h"
#include "control/word.h"
#include "fuzz/fuzz_support.h"

namespace {

struct ByteSource {
    std::string_view bytes;
    std::size_t pos = 0;
    int peek() const { return pos < bytes.size() ? static_cast<unsigned char>(bytes[pos]) : -1; }
    int get() { return pos < bytes.size() ? static_cast<unsigned char>(bytes[pos++]) : -1; }
};

bool blank_at(std::string_view bytes, std::size_t i) {
    return is_blank(static_cast<unsigned char>(bytes[i]));
}

template <std::size_t Size>
void read_all_words(std::string_view bytes) {
    ByteSource source{bytes};
    std::size_t expected_pos = 0;
    for (;;) {
        Word<Size> word = read_word<Size>(source);
        while (expected_pos < bytes.size() && blank_at(bytes, expected_pos))
            ++expected_pos;
        if (expected_pos == bytes.size()) {
            fuzz::check(word.ended && word.length == 0, "end of input after the last word");
            fuzz::check(source.pos == bytes.size(), "everything read at the end");
            return;
        }
        std::size_t start = expected_pos;
        while (expected_pos < bytes.size() && !blank_at(bytes, expected_pos))
            ++expected_pos;
        std::size_t full = expected_pos - start;
        fuzz::check(!word.ended, "a word where there is one");
        fuzz::check(word.length < Size && word.text[word.length] == '\0', "word terminated");
        fuzz::check(word.length == (full < Size - 1 ? full : Size - 1), "word cut to the buffer");
        fuzz::check(word.view() == bytes.substr(start, word.length), "word bytes as typed");
        fuzz::check(word.too_long == (full > Size - 1), "too long only when cut");
        // The blank that ended the word stays unread, for the typed line and the vacuum head.
        fuzz::check(source.pos == expected_pos, "word consumed whole, its end left unread");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    read_all_words<1>(bytes);
    read_all_words<2>(bytes);
    read_all_words<8>(bytes);
    read_all_words<100>(bytes);  // configuration words
    read_all_words<200>(bytes);  // console words
    return 0;
}
