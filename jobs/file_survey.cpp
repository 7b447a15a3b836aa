#include "jobs/file_survey.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>
#include <utility>

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

namespace {

void flag(FileSurvey& s, LineFlag flag) {
    bool& flagged = s.line_flagged[static_cast<int>(flag)];
    if (flagged) return;
    flagged = true;
    const long line = s.lines + 1;
    if (flag == LineFlag::text_after_nul && s.text_after_nul == 0 && line >= s.refuse_from)
        s.text_after_nul = line;
    if (s.flagged != nullptr && line >= s.refuse_from) s.flagged(line, flag);
}

void add_text(FileSurvey& s, std::size_t count) {
    if (count == 0) return;
    s.line_length += count;
    if (s.line_length > s.longest) {
        s.longest = s.line_length;
        s.longest_line = s.lines + 1;
    }
    if (s.line_length > kControllerLineText) flag(s, LineFlag::too_long);
}

// A line as a download takes it: a comment line is not sent; a carriage
// return before the line feed is no text; a NUL ends the text, and only
// NULs (and a last carriage return) may follow it.
void survey_byte(FileSurvey& s, char c) {
    if (!std::exchange(s.in_line, true)) s.line_is_comment = c == ';';
    if (c == '\n') {
        if (!s.line_is_comment && s.lines + 1 >= s.refuse_from) s.sent_bytes += s.line_length + 1;
        ++s.lines;
        s.line_length = 0;
        s.in_line = s.after_nul = s.cr_after_nul = s.pending_cr = false;
        std::fill(std::begin(s.line_flagged), std::end(s.line_flagged), false);
        return;
    }
    if (s.line_is_comment) return;
    if (s.after_nul) {
        if (s.cr_after_nul || (c != '\0' && c != '\r')) flag(s, LineFlag::text_after_nul);
        s.cr_after_nul = c == '\r';
        return;
    }
    if (std::exchange(s.pending_cr, false)) ++s.line_length;  // not before a line feed: text
    if (c == '\0') {
        s.after_nul = true;
        return;
    }
    if (c == '\r') {
        s.pending_cr = true;
        return;
    }
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7f) flag(s, LineFlag::control_bytes);
    add_text(s, 1);
}

// Surveys `bytes`. Plain text in the middle of a line, most of a file, only
// lengthens it: such runs are counted, not looked at byte by byte.
void survey_bytes(FileSurvey& s, std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t run = at;
        if (s.in_line && !s.line_is_comment && !s.after_nul && !s.pending_cr) {
            while (run < bytes.size() && static_cast<unsigned char>(bytes[run]) >= 0x20 &&
                   bytes[run] != 0x7f)
                ++run;
            add_text(s, run - at);
        }
        if (run < bytes.size()) survey_byte(s, bytes[run++]);
        at = run;
    }
}

std::int64_t modified_ns(const struct stat& info) {
    return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
}

// Reads [from, to) of the file into `use`, a block at a time; to < 0: to its end.
template <typename Use>
bool read_range(int fd, std::int64_t from, std::int64_t to, Use use) {
    std::array<char, 16384> block;
    while (to < 0 || from < to) {
        const std::size_t want =
            to < 0 ? block.size()
                   : std::min<std::size_t>(block.size(), static_cast<std::size_t>(to - from));
        const ssize_t got = pread(fd, block.data(), want, static_cast<off_t>(from));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return to < 0;
        use(std::string_view(block.data(), static_cast<std::size_t>(got)));
        from += got;
    }
    return true;
}

}  // namespace

bool survey_file(int fd, FileSurvey& survey) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return false;
    survey.device = info.st_dev;
    survey.inode = info.st_ino;
    survey.modified_ns = modified_ns(info);
    return read_range(fd, survey.size, -1, [&survey](std::string_view bytes) {
        survey.crc = crc_update(survey.crc, bytes);
        survey.size += static_cast<std::int64_t>(bytes.size());
        survey_bytes(survey, bytes);
    });
}

long survey_lines(const FileSurvey& survey) {
    return survey.lines + (survey.in_line ? 1 : 0);
}

std::int64_t survey_sent_bytes(const FileSurvey& survey) {
    const bool open_line =
        survey.in_line && !survey.line_is_comment && survey.lines + 1 >= survey.refuse_from;
    // The file's end drops a carriage return before it, as a line feed does.
    return survey.sent_bytes + (open_line ? static_cast<std::int64_t>(survey.line_length) + 1 : 0);
}

std::uint32_t survey_cksum(const FileSurvey& survey) {
    std::uint32_t crc = survey.crc;
    // cksum(1) goes on with the length, least significant byte first.
    for (std::uint64_t rest = static_cast<std::uint64_t>(survey.size); rest != 0; rest >>= 8) {
        const char byte = static_cast<char>(rest & 0xff);
        crc = crc_update(crc, {&byte, 1});
    }
    return ~crc;
}

FileState check_file(int fd, const char* path, FileSurvey& survey) {
    struct stat now {};
    struct stat named {};
    if (fstat(fd, &now) != 0) return FileState::changed;
    // An editor that saves by writing a new file and renaming it over the old.
    if (stat(path, &named) == 0 && (named.st_ino != now.st_ino || named.st_dev != now.st_dev))
        return FileState::changed;
    if (now.st_size == survey.size && modified_ns(now) == survey.modified_ns)
        return FileState::unchanged;
    // Written to: what was read must be as it was, and only more may follow.
    std::uint32_t crc = 0;
    if (now.st_size < survey.size ||
        !read_range(fd, 0, survey.size,
                    [&crc](std::string_view bytes) { crc = crc_update(crc, bytes); }) ||
        crc != survey.crc || !survey_file(fd, survey))
        return FileState::changed;
    return FileState::grown;
}
