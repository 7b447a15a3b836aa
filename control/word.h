// Reading one white-space separated word from a byte source, into a bounded
// buffer. Used for console commands and for the words of the configuration file.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "control/text.h"

template <std::size_t Size>
struct Word {
    std::array<char, Size> text{};  // always terminated
    std::size_t length = 0;         // characters kept, at most Size - 1
    bool too_long = false;          // more characters followed; they were consumed too
    bool ended = false;             // the input ended before a word began

    std::string_view view() const { return {text.data(), length}; }
};

// Skips white space, then takes characters up to the next white space, which
// is left unread in the source. A word longer than the buffer is consumed
// whole so its tail can never be taken for a word of its own; only its first
// Size - 1 characters are kept.
// Source provides int peek() and int get(), both negative at the end.
template <std::size_t Size, typename Source>
Word<Size> read_word(Source& source) {
    Word<Size> word;
    while (source.peek() >= 0 && is_blank(source.peek()))
        source.get();
    if (source.peek() < 0) {
        word.ended = true;
        return word;
    }
    for (int c = source.peek(); c >= 0 && !is_blank(c); c = source.peek()) {
        source.get();
        if (word.length + 1 < Size) {
            word.text[word.length++] = static_cast<char>(c);
        } else {
            word.too_long = true;
        }
    }
    word.text[word.length] = '\0';
    return word;
}
