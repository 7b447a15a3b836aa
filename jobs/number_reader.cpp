// The number reader: the longest run of console characters that begins a
// number, then strtof on that run.
#include "jobs/number_reader.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "control/text.h"
#include "platform/console.h"

namespace {

// The longest number text kept; a longer one counts as unreadable.
constexpr std::size_t kNumberSize = 128;

struct NumberText {
    std::array<char, kNumberSize> text{};
    std::size_t length = 0;
    bool too_long = false;
};

// Takes the next character when `accept` says it continues the number.
template <typename Accept>
bool take_if(NumberText& number, Accept accept) {
    int c = console_peek();
    if (c == kConsoleEnd || !accept(c)) return false;
    console_get();
    if (number.length + 1 < number.text.size()) {
        number.text[number.length++] = static_cast<char>(c);
    } else {
        number.too_long = true;
    }
    return true;
}

bool take_char(NumberText& number, char wanted) {
    return take_if(number, [wanted](int c) { return lower_ascii(static_cast<char>(c)) == wanted; });
}

int take_digits(NumberText& number, bool hex) {
    auto is_digit = [hex](int c) {
        return (c >= '0' && c <= '9') ||
               (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    };
    int count = 0;
    while (take_if(number, is_digit))
        ++count;
    return count;
}

// Takes `word` (lower case) letter by letter, ignoring case; false when it breaks off.
bool take_word(NumberText& number, std::string_view word) {
    for (char letter : word) {
        if (!take_char(number, letter)) return false;
    }
    return true;
}

bool take_sign(NumberText& number) {
    return take_if(number, [](int c) { return c == '+' || c == '-'; });
}

// digits [. digits] with at least one digit, then an optional exponent.
bool take_mantissa_and_exponent(NumberText& number, bool hex, int digits_before) {
    int digits = digits_before + take_digits(number, hex);
    if (take_char(number, '.')) digits += take_digits(number, hex);
    if (digits == 0) return false;
    if (!take_char(number, hex ? 'p' : 'e')) return true;
    take_sign(number);
    return take_digits(number, false) > 0;
}

// "nan" is taken already: an optional "(letters, digits, _)".
bool take_nan_tail(NumberText& number) {
    if (!take_char(number, '(')) return true;
    auto is_name = [](int c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               c == '_';
    };
    while (take_if(number, is_name)) {
    }
    return take_char(number, ')');
}

// Takes the longest run of characters that begins a floating-point number:
// decimal, hexadecimal (0x), inf, infinity or nan. Returns whether the run is
// a whole number. A run that breaks off ("1e+", "-", "inf" in "infinite") is
// consumed all the same, and the character after it stays unread.
bool take_number_text(NumberText& number) {
    take_sign(number);
    int c = lower_ascii(static_cast<char>(console_peek()));
    if (c == 'i')
        return take_word(number, "inf") && (!take_char(number, 'i') || take_word(number, "nity"));
    if (c == 'n') return take_word(number, "nan") && take_nan_tail(number);
    if (!take_char(number, '0')) return take_mantissa_and_exponent(number, false, 0);
    if (take_char(number, 'x')) return take_mantissa_and_exponent(number, true, 0);
    return take_mantissa_and_exponent(number, false, 1);
}

}  // namespace

bool read_number(float& value) {
    while (is_blank(console_peek()))
        console_get();
    NumberText number;
    if (!take_number_text(number) || number.too_long) return false;
    number.text[number.length] = '\0';
    char* end = nullptr;
    float read = std::strtof(number.text.data(), &end);
    if (end != number.text.data() + number.length || !std::isfinite(read)) return false;
    value = read;
    return true;
}
