#include "control/settings.h"

#include <cstdio>
#include <cstring>

#include "control/text.h"
#include "platform/shown_text.h"

Settings settings;

namespace {

constexpr std::array<std::string_view, 13> kChannels = {"COM1",  "COM2",  "COM3", "COM4", "COM5",
                                                        "COM6",  "COM7",  "COM8", "COM9", "COM10",
                                                        "COM11", "COM12", "COM13"};

struct RateText {
    std::string_view text;
    std::int32_t code;
};

// 57600, the rate's usual name, is taken for code 8 as well as the program's 57200.
constexpr std::array<RateText, 8> kRateTexts = {{{"2400", 3},
                                                 {"4800", 4},
                                                 {"9600", 5},
                                                 {"19200", 6},
                                                 {"38400", 7},
                                                 {"57200", 8},
                                                 {"57600", 8},
                                                 {"115200", 9}}};

// Code 8 is shown as 57200 as the operator types it; the line runs at 57600.
constexpr std::array<std::int32_t, 10> kRateValues = {110,  300,   1200,  2400,  4800,
                                                      9600, 19200, 38400, 57200, 115200};

std::int32_t unrecognized() {
    std::printf("  COM%d at %d kept - nothing changed\n", settings.port_number + 1,
                rate_value(settings.rate_code));
    return kUnrecognized;
}

}  // namespace

void set_defaults() {
    settings.port_number = 0;
    settings.rate_code = 9;
    settings.output_mode = kNormalOutput;
    settings.prompt_char = '-';
    settings.stop_words = kDefaultStopWords;
    load_config();
    settings.download_path[0] = '\0';
}

std::int32_t parse_channel(std::string_view text) {
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        if (equal_ignoring_case(text, kChannels[i])) return static_cast<std::int32_t>(i);
    }
    std::printf("Unrecognized com channel: %s\n", shown(text).c_str());
    return unrecognized();
}

std::int32_t parse_rate(std::string_view text) {
    for (const RateText& rate : kRateTexts) {
        if (text == rate.text) return rate.code;
    }
    std::printf("Unrecognized baud rate\n");
    return unrecognized();
}

std::int32_t rate_value(std::int32_t rate_code) {
    if (rate_code < 0 || rate_code >= static_cast<std::int32_t>(kRateValues.size())) return 0;
    return kRateValues[static_cast<std::size_t>(rate_code)];
}

bool set_download_path(std::string_view path) {
    if (path.size() >= settings.download_path.size()) return false;
    std::memcpy(settings.download_path.data(), path.data(), path.size());
    settings.download_path[path.size()] = '\0';
    return true;
}
