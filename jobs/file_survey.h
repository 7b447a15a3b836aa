// What a download knows of its file before the first line goes out, read in
// one pass: its checksum, size and lines.
#pragma once

#include <cstdint>
#include <string_view>

// The CRC of cksum(1): the polynomial 0x04C11DB7, most significant bit first.
std::uint32_t crc_update(std::uint32_t crc, std::string_view bytes);

struct FileSurvey {
    std::uint32_t cksum = 0;  // as cksum(1) prints it
    std::int64_t size = 0;
    long lines = 0;  // as an editor counts them
};

// Reads the file through `fd` from its start, without moving its offset.
// False, with errno set, when a read failed.
bool survey_file(int fd, FileSurvey& survey);
