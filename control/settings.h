// The one process-wide settings record, its defaults, and the translation
// tables between what the operator types and what the serial layer takes.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

inline constexpr std::size_t kPathSize = 200;  // 199 characters and the terminator

// The characters the flag fields hold: output_mode is normal or quiet, a
// yes/no field 'y' or 'n'.
inline constexpr char kNormalOutput = 'n';  // controller answers shown
inline constexpr char kQuietOutput = 'q';   // only the echo shown
inline constexpr char kYes = 'y';
inline constexpr char kNo = 'n';

// Words that stop a job when the controller's answer, or what it sends
// unasked, holds one: letters and digits, matched case-blind as whole words.
inline constexpr std::size_t kStopWordSize = 32;  // 31 characters and the terminator
inline constexpr std::size_t kStopWordCount = 8;
using StopWord = std::array<char, kStopWordSize>;
using StopWords = std::array<StopWord, kStopWordCount>;  // unused ones empty
inline constexpr StopWords kDefaultStopWords = {{{"error"}, {"alarm"}}};

struct Settings {
    std::int32_t port_number = 0;      // zero-based: 0 is COM1, 12 is COM13
    std::int32_t rate_code = 9;        // serial layer's rate numbering; 9 is 115200
    char prompt_char = '-';            // what the controller sends when ready for a line
    char output_mode = kNormalOutput;  // kNormalOutput or kQuietOutput
    std::array<char, kPathSize> download_path{};
    char link_error = kNo;        // kYes once a serial call has failed
    long resume_line = 0;         // the file line the next download starts at; 0: the first
    char resume_by_number = kNo;  // kYes: resume_line is the N number its line starts with
    char confirm_resume = kNo;    // kYes: at the console, a resume waits for Enter on a terminal
    StopWords stop_words = kDefaultStopWords;  // kept in lower case
};

extern Settings settings;

// Start-up defaults, then the configuration file.
void set_defaults();
// Applies "dnconfig.txt" from the current directory: 1 when read, -1 when absent.
int load_config();
// Applies the key words read from `file` to the end; the caller closes it.
void load_config_from(std::FILE* file);

// What parse_channel and parse_rate give for a text they do not know: the
// caller keeps the port and rate in use, as a typo must not move the program to
// another machine or rate.
inline constexpr std::int32_t kUnrecognized = -1;
// Channel name ("COM1".."COM13", any case) to port number; otherwise a message,
// a line saying what is kept, and kUnrecognized.
std::int32_t parse_channel(std::string_view text);
// Rate text ("2400".."115200") to rate code; otherwise as parse_channel.
std::int32_t parse_rate(std::string_view text);
// The rate shown to the operator for a rate code.
std::int32_t rate_value(std::int32_t rate_code);

// Sets download_path, refusing a name that does not fit.
bool set_download_path(std::string_view path);
