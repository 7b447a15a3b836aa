#include "jobs/record_format.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>

#include "control/text.h"
#include "platform/serial_port.h"

namespace {

constexpr std::string_view kFormatPrefix = "vqdnc job record ";

// The CRC of cksum(1): the polynomial 0x04C11DB7, most significant bit
// first. Table k gives the CRC of a byte followed by k zero bytes, so eight
// bytes are taken in one step: the file is read through once more before it
// is sent, and this keeps that short.
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

constexpr std::array<const char*, 9> kOutcomeWords = {
    "running",         "done",        "stopped",  "link-lost", "controller-error",
    "unfinished-line", "read-failed", "time-out", "signal"};

// Text into a fixed buffer; once something does not fit, nothing more goes in.
struct TextOut {
    char* data;
    std::size_t size;
    std::size_t used = 0;
    bool full = false;

    bool room_for(std::size_t count) {
        full = full || count > size - used;
        return !full;
    }
    void put(std::string_view text) {
        if (!room_for(text.size())) return;
        std::memcpy(data + used, text.data(), text.size());
        used += text.size();
    }
    // A control character would end the line early or act on a terminal.
    void put_text(std::string_view text) {
        if (!room_for(text.size())) return;
        for (char c : text)
            data[used++] = is_control_byte(c) ? '?' : c;
    }
    template <typename Number>
    void put_number(Number value) {
        char digits[24];
        const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
        put({digits, static_cast<std::size_t>(end.ptr - digits)});
    }
    template <typename Number>
    void number_line(std::string_view key, Number value) {
        put(key);
        put(" ");
        put_number(value);
        put("\n");
    }
    void text_line(std::string_view key, const char* value) {
        put(key);
        put(" ");
        put_text(value);
        put("\n");
    }
    std::size_t result() const { return full ? 0 : used; }
    // Padded with line feeds to whole seal words, as a slot's sealed parts are.
    std::size_t sealable_result() {
        while (used % kSealWord != 0 && !full)
            put("\n");
        return result();
    }
};

// Digits only, as the record writes them.
template <typename Number>
bool number_field(std::string_view text, Number& value) {
    std::uint64_t read = 0;
    const char* end = text.data() + text.size();
    const std::from_chars_result result = std::from_chars(text.data(), end, read);
    if (text.empty() || result.ec != std::errc{} || result.ptr != end) return false;
    if (read > static_cast<std::uint64_t>(std::numeric_limits<Number>::max())) return false;
    value = static_cast<Number>(read);
    return true;
}

template <std::size_t N>
bool text_field(std::string_view text, std::array<char, N>& value) {
    if (text.size() >= N) return false;
    for (char c : text) {
        if (is_control_byte(c)) return false;
    }
    std::memcpy(value.data(), text.data(), text.size());
    value[text.size()] = '\0';
    return true;
}

bool channel_field(std::string_view text, JobRecord& r) {
    int channel = 0;
    if (!text.starts_with("COM") || !number_field(text.substr(3), channel)) return false;
    r.port = channel - 1;
    return channel >= 1 && channel <= serial::kPortCount;
}

bool outcome_field(std::string_view text, JobRecord& r) {
    for (std::size_t i = 0; i < kOutcomeWords.size(); ++i) {
        if (text != kOutcomeWords[i]) continue;
        r.outcome = static_cast<JobOutcome>(i);
        return true;
    }
    return false;
}

struct Field {
    std::string_view key;
    bool (*read)(std::string_view text, JobRecord& r);
};

// Every field must be there, once.
constexpr std::array<Field, 16> kFields = {{
    {"channel", channel_field},
    {"device", [](std::string_view t, JobRecord& r) { return text_field(t, r.device); }},
    {"rate", [](std::string_view t, JobRecord& r) { return number_field(t, r.rate); }},
    {"file", [](std::string_view t, JobRecord& r) { return text_field(t, r.file); }},
    {"size", [](std::string_view t, JobRecord& r) { return number_field(t, r.size); }},
    {"cksum", [](std::string_view t, JobRecord& r) { return number_field(t, r.cksum); }},
    {"boot", [](std::string_view t, JobRecord& r) { return text_field(t, r.boot); }},
    {"started", [](std::string_view t, JobRecord& r) { return number_field(t, r.started); }},
    {"first", [](std::string_view t, JobRecord& r) { return number_field(t, r.first_line); }},
    {"sequence", [](std::string_view t, JobRecord& r) { return number_field(t, r.sequence); }},
    {"outcome", outcome_field},
    {"acknowledged",
     [](std::string_view t, JobRecord& r) { return number_field(t, r.acknowledged); }},
    {"text", [](std::string_view t, JobRecord& r) { return text_field(t, r.text); }},
    {"unanswered", [](std::string_view t, JobRecord& r) { return number_field(t, r.unanswered); }},
    {"part-way", [](std::string_view t, JobRecord& r) { return number_field(t, r.part_way); }},
    {"updated", [](std::string_view t, JobRecord& r) { return number_field(t, r.updated); }},
}};
constexpr std::uint32_t kAllFields = (1u << kFields.size()) - 1;

// The field's bit, 0 when the line is no field or its value does not read.
std::uint32_t read_field(std::string_view line, JobRecord& record) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return 0;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        if (kFields[i].key == line.substr(0, space))
            return kFields[i].read(line.substr(space + 1), record) ? 1u << i : 0;
    }
    return 0;
}

}  // namespace

const char* outcome_word(JobOutcome outcome) {
    return kOutcomeWords[static_cast<std::size_t>(outcome)];
}

std::size_t format_record_start(const JobRecord& record, char* slot, std::size_t size) {
    TextOut out{slot, size};
    out.put(kFormatPrefix);
    out.put_number(kRecordFormat);
    out.put("\nchannel COM");
    out.put_number(record.port + 1);
    out.put("\n");
    out.text_line("device", record.device.data());
    out.number_line("rate", record.rate);
    out.text_line("file", record.file.data());
    out.number_line("size", record.size);
    out.number_line("cksum", record.cksum);
    out.text_line("boot", record.boot.data());
    out.number_line("started", record.started);
    out.number_line("first", record.first_line);
    return out.sealable_result();
}

std::size_t format_record_state(const JobRecord& record, char* text, std::size_t size) {
    TextOut out{text, size};
    out.text_line("outcome", outcome_word(record.outcome));
    out.number_line("unanswered", record.unanswered);
    out.number_line("part-way", record.part_way);
    return out.sealable_result();
}

std::size_t format_record_progress(const JobRecord& record, char* text, std::size_t size) {
    TextOut out{text, size};
    out.number_line("sequence", record.sequence);
    out.number_line("acknowledged", record.acknowledged);
    out.put("text ");
    out.put(record.text.data());
    out.put("\n");
    out.number_line("updated", record.updated);
    return out.result();
}

std::uint64_t seal_hash(std::uint64_t hash, std::string_view bytes) {
    auto mix = [&hash](std::uint64_t word) {
        hash = (hash ^ word) * 0x9e3779b97f4a7c15u;
        hash ^= hash >> 29;
    };
    std::size_t at = 0;
    for (; at + kSealWord <= bytes.size(); at += kSealWord) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + at, kSealWord);
        mix(word);
    }
    if (at == bytes.size()) return hash;
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + at, bytes.size() - at);
    mix(word);
    return hash;
}

void format_seal(std::uint64_t hash, char* text) {
    const std::uint32_t seal = static_cast<std::uint32_t>(hash ^ (hash >> 32));
    std::memcpy(text, "seal ", 5);
    for (int i = 0; i < 8; ++i)
        text[5 + i] = "0123456789abcdef"[(seal >> (28 - 4 * i)) & 0xf];
    text[13] = '\n';
    text[14] = '\0';
}

SlotState parse_record_slot(std::string_view slot, JobRecord& record, long& format) {
    const std::size_t first_end = slot.find('\n');
    if (!slot.starts_with(kFormatPrefix) || first_end == std::string_view::npos ||
        !number_field(slot.substr(kFormatPrefix.size(), first_end - kFormatPrefix.size()), format))
        return SlotState::damaged;
    if (format > kRecordFormat) return SlotState::newer;
    const std::size_t seal = slot.find("\nseal ");
    if (format != kRecordFormat || seal == std::string_view::npos) return SlotState::damaged;
    const std::string_view sealed = slot.substr(0, seal + 1);
    char expected[kSealSize];
    format_seal(seal_hash(kSealStart, sealed), expected);
    if (!slot.substr(seal + 1).starts_with(expected)) return SlotState::damaged;
    record = JobRecord{};
    std::uint32_t seen = 0;
    for (std::size_t at = first_end + 1; at < sealed.size();) {
        const std::size_t end = sealed.find('\n', at);
        const std::string_view line = sealed.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        const std::uint32_t bit = read_field(line, record);
        if (bit == 0 || (seen & bit) != 0) return SlotState::damaged;
        seen |= bit;
    }
    return seen == kAllFields ? SlotState::valid : SlotState::damaged;
}

namespace {

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

}  // namespace

bool file_cksum(int fd, std::uint32_t& cksum, std::int64_t& size) {
    std::array<char, 16384> block;
    std::uint32_t crc = 0;
    std::int64_t length = 0;
    for (;;) {
        const ssize_t got = pread(fd, block.data(), block.size(), static_cast<off_t>(length));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        crc = crc_update(crc, {block.data(), static_cast<std::size_t>(got)});
        length += got;
    }
    // cksum(1) goes on with the length, least significant byte first.
    for (std::uint64_t rest = static_cast<std::uint64_t>(length); rest != 0; rest >>= 8) {
        const char byte = static_cast<char>(rest & 0xff);
        crc = crc_update(crc, {&byte, 1});
    }
    cksum = ~crc;
    size = length;
    return true;
}
