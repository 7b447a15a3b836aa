#include "jobs/file_survey.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace {

// Table k gives the CRC of a byte followed by k zero bytes, so eight bytes
// are taken in one step: the file is read through once more before it is
// sent, and every record update is sealed, so this is kept short.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
    CrcTables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        tables[0][i] = crc;
    }
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (std::size_t i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] << 8) ^ tables[0][tables[k - 1][i] >> 24];
    }
    return tables;
}
constexpr CrcTables kCrc = make_crc_tables();

}  // namespace

std::uint32_t crc_update(std::uint32_t crc, std::string_view bytes) {
    auto byte = [&bytes](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        crc ^= static_cast<std::uint32_t>(byte(at)) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 |
               byte(at + 3);
        crc = kCrc[7][crc >> 24] ^ kCrc[6][(crc >> 16) & 0xff] ^ kCrc[5][(crc >> 8) & 0xff] ^
              kCrc[4][crc & 0xff] ^ kCrc[3][byte(at + 4)] ^ kCrc[2][byte(at + 5)] ^
              kCrc[1][byte(at + 6)] ^ kCrc[0][byte(at + 7)];
    }
    for (; at < bytes.size(); ++at)
        crc = (crc << 8) ^ kCrc[0][(crc >> 24) ^ byte(at)];
    return crc;
}

bool survey_file(int fd, FileSurvey& survey) {
    std::array<char, 16384> block;
    std::uint32_t crc = 0;
    std::int64_t length = 0;
    long line_feeds = 0;
    char last = '\n';
    for (;;) {
        const ssize_t got = pread(fd, block.data(), block.size(), static_cast<off_t>(length));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        const std::string_view bytes(block.data(), static_cast<std::size_t>(got));
        crc = crc_update(crc, bytes);
        line_feeds += std::count(bytes.begin(), bytes.end(), '\n');
        last = bytes.back();
        length += got;
    }
    // cksum(1) goes on with the length, least significant byte first.
    for (std::uint64_t rest = static_cast<std::uint64_t>(length); rest != 0; rest >>= 8) {
        const char byte = static_cast<char>(rest & 0xff);
        crc = crc_update(crc, {&byte, 1});
    }
    survey.cksum = ~crc;
    survey.size = length;
    survey.lines = line_feeds + (last != '\n');
    return true;
}
