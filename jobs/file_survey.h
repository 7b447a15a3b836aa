// What a download knows of its file before the first line goes out, read in
// one pass: its checksum, size and lines, the lines it would refuse, and
// what tells the file as it stood then from the file as it is later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The CRC of cksum(1): the polynomial 0x04C11DB7, most significant bit first.
std::uint32_t crc_update(std::uint32_t crc, std::string_view bytes);

// The text of a line of more characters than this does not fit a
// controller's line buffer.
inline constexpr std::size_t kControllerLineText = 255;

// What a line holds that a download refuses or a controller may not take.
enum class LineFlag : unsigned char {
    text_after_nul,  // refused: the text goes on after a NUL byte
    control_bytes,   // other than tab and carriage return
    too_long,
};

struct FileSurvey {
    // Read so far, from the file's start.
    std::uint32_t crc = 0;  // of the bytes, before cksum(1) adds their count
    std::int64_t size = 0;
    long lines = 0;           // line feeds; a last line without one is counted by survey_lines
    std::size_t longest = 0;  // of the line texts, in bytes
    long longest_line = 0;
    std::int64_t sent_bytes = 0;  // of the lines from refuse_from on, line feeds included
    long text_after_nul = 0;      // the first line, from refuse_from on, that a download refuses
    long refuse_from = 1;
    // Called for each flag of each line, where set.
    void (*flagged)(long line, LineFlag flag) = nullptr;
    // As the last look found the file.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modified_ns = 0;
    // Where the reading stands in the current line.
    bool in_line = false;
    std::size_t line_length = 0;
    bool line_is_comment = false;
    bool pending_cr = false;  // text unless a line feed follows
    bool after_nul = false;
    bool cr_after_nul = false;  // padding only when a line feed follows
    bool line_flagged[3] = {};
};

// Reads the file through `fd` from where `survey` stands to its end,
// without moving the descriptor's offset. False, with errno set, when a
// read failed.
bool survey_file(int fd, FileSurvey& survey);
// The file's lines as an editor counts them, the bytes a download sends (a
// last line without its line feed gets one), and the checksum as cksum(1)
// prints it.
long survey_lines(const FileSurvey& survey);
std::int64_t survey_sent_bytes(const FileSurvey& survey);
std::uint32_t survey_cksum(const FileSurvey& survey);

// Whether the file at `path`, open as `fd`, still holds what the survey
// read: unchanged, grown at its end only (the survey then reads the new
// bytes too), or changed (edited, shortened or replaced).
enum class FileState { unchanged, grown, changed };
FileState check_file(int fd, const char* path, FileSurvey& survey);
