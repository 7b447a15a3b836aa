// Bytes shown to the operator: file names, device paths, controller text and
// whatever else came from outside, under one policy, so that nothing shown can
// act on the terminal.
//
// Printable ASCII (the backslash included) and well-formed UTF-8 characters
// from U+00A0 on show as they are; tab, line feed and carriage return show as
// \t \n \r; every other byte (control bytes, DEL, C1 controls, bytes of no
// well-formed character) shows as \xHH.
//
// Header only: every library shows text, the platform's too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>

// Characters one byte can take when shown.
inline constexpr std::size_t kShownPerByte = 4;

inline constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// The length of the well-formed UTF-8 character at the start of `bytes`, or 0
// where there is none or it is a C1 control.
constexpr std::size_t utf8_character_length(std::string_view bytes) {
    const auto at = [&](std::size_t i) -> unsigned {
        return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0;
    };
    const unsigned lead = at(0);
    if (lead < 0xc2 || lead > 0xf4) return 0;
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    // The second byte's range rules out C1 controls, overlong forms,
    // surrogates and code points beyond U+10FFFF.
    const unsigned low = lead == 0xc2 ? 0xa0 : lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    if (at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (at(i) < 0x80 || at(i) > 0xbf) return 0;
    }
    return length;
}

// Appends `bytes` as shown to out[used..size), whole characters only, while
// they fit; with `out` null it only counts. Returns the bytes of `bytes` shown.
// `reversible` also shows a backslash as \\, so that the bytes can be had
// back exactly from what is shown (the job record keeps text so).
constexpr std::size_t append_shown(std::string_view bytes, char* out, std::size_t size,
                                   std::size_t& used, bool reversible = false) {
    std::size_t taken = 0;
    while (taken < bytes.size()) {
        const unsigned byte = static_cast<unsigned char>(bytes[taken]);
        const bool backslash = reversible && byte == '\\';
        // Most bytes are plain: they go as they are, without the work below.
        if (byte >= 0x20 && byte <= 0x7e && !backslash && used < size) {
            if (out != nullptr) out[used] = bytes[taken];
            ++used;
            ++taken;
            continue;
        }
        const std::size_t as_is = backslash ? 0
                                  : byte >= 0x20 && byte <= 0x7e
                                      ? 1
                                      : utf8_character_length(bytes.substr(taken));
        const char named = byte == '\t'   ? 't'
                           : byte == '\n' ? 'n'
                           : byte == '\r' ? 'r'
                           : backslash    ? '\\'
                                          : '\0';
        const std::array<char, kShownPerByte> escape = {
            '\\', named != '\0' ? named : 'x', kHexDigits[byte >> 4], kHexDigits[byte & 0xf]};
        const std::size_t length = as_is > 0 ? as_is : named != '\0' ? 2 : 4;
        if (size - used < length) break;
        for (std::size_t i = 0; out != nullptr && i < length; ++i)
            out[used + i] = as_is > 0 ? bytes[taken + i] : escape[i];
        used += length;
        taken += as_is > 0 ? as_is : 1;
    }
    return taken;
}

// The bytes that `text`, shown reversibly, stands for, into out[0..size).
// False when it holds an escape no byte is shown as, or a NUL, or does not fit.
constexpr bool read_shown(std::string_view text, char* out, std::size_t size, std::size_t& length) {
    constexpr std::string_view kNamed = "\\tnr";
    length = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        unsigned byte = static_cast<unsigned char>(text[at]);
        const std::string_view rest = text.substr(at + 1);
        const auto hex = [&rest](std::size_t i) {
            return kHexDigits.find(i < rest.size() ? rest[i] : 'x');
        };
        if (byte == '\\' && rest.starts_with('x') && hex(1) < 16 && hex(2) < 16) {
            byte = static_cast<unsigned>(hex(1) * 16 + hex(2));
            at += 3;
        } else if (byte == '\\') {
            const std::size_t named = rest.empty() ? kNamed.size() : kNamed.find(rest[0]);
            if (named == std::string_view::npos || named == kNamed.size()) return false;
            byte = static_cast<unsigned char>("\\\t\n\r"[named]);
            ++at;
        }
        if (byte == 0 || length == size) return false;
        out[length++] = static_cast<char>(byte);
    }
    return true;
}

// The number of characters `bytes` takes when shown.
constexpr std::size_t shown_size(std::string_view bytes) {
    std::size_t used = 0;
    append_shown(bytes, nullptr, static_cast<std::size_t>(-1), used);
    return used;
}

// For a message's "%s": the first `Bytes` bytes of a text as shown.
template <std::size_t Bytes>
struct Shown {
    std::array<char, kShownPerByte * Bytes + 1> text{};
    const char* c_str() const { return text.data(); }
};

template <std::size_t Bytes = 200>
Shown<Bytes> shown(std::string_view bytes) {
    Shown<Bytes> result;
    std::size_t used = 0;
    append_shown(bytes.substr(0, Bytes), result.text.data(), result.text.size() - 1, used);
    return result;
}

// Prints `bytes` as shown to standard output.
inline void print_shown(std::string_view bytes) {
    while (!bytes.empty()) {
        std::array<char, 256> text;
        std::size_t used = 0;
        bytes.remove_prefix(append_shown(bytes, text.data(), text.size(), used));
        std::fwrite(text.data(), 1, used, stdout);
    }
}
