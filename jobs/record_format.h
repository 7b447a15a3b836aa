// The recovery record of a download: text a person can read, in two
// fixed-size slots rewritten in turn, each sealed with a checksum of its
// bytes. A slot torn by a power cut or changed by hand fails its seal; the
// other slot, one update older, still holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "jobs/job_record.h"
#include "platform/device_map.h"

inline constexpr std::size_t kSlotSize = 1024;
inline constexpr std::size_t kSlotCount = 2;
inline constexpr std::size_t kRecordSize = kSlotSize * kSlotCount;
inline constexpr long kRecordFormat = 1;
inline constexpr std::size_t kRecordPathSize = 400;
inline constexpr std::size_t kRecordTextSize = 48;  // a line's start, "..." when cut
inline constexpr std::size_t kBootIdSize = 40;
// How often a running download's record is put on the disk: a power cut of
// the PC loses at most the updates of that long.
inline constexpr int kSyncIntervalS = 3;

// The word for `outcome` in the record and the system log.
const char* outcome_word(JobOutcome outcome);

struct JobRecord {
    // Set when the download starts.
    int port = 0;
    std::array<char, kShownPathSize> device{};
    std::int32_t rate = 0;
    std::array<char, kRecordPathSize> file{};
    std::int64_t size = 0;
    std::uint32_t cksum = 0;
    std::array<char, kBootIdSize> boot{};
    std::int64_t started = 0;  // seconds since the epoch
    long first_line = 1;
    // Rewritten as the download goes.
    std::uint64_t sequence = 0;  // which slot is newer
    JobOutcome outcome = JobOutcome::running;
    long acknowledged = 0;  // the last line whose prompt came; 0: none
    std::array<char, kRecordTextSize> text{};
    long unanswered = 0;  // the first line after it that went out whole; 0: none
    long part_way = 0;    // a line part of which went out, not its end; 0: none
    std::int64_t updated = 0;
};

// A slot: the part set at the start; the state, which changes only when a
// line goes out in pieces or the download ends; the progress, which changes
// with every line acknowledged. Each returns the bytes written, 0 when they
// do not fit. The first two are padded with empty lines to whole words of the
// seal's hash, so the hash of their bytes is taken once and carried on over
// the progress. The text of the progress has no control characters (it is a
// line's start as a report shows it).
std::size_t format_record_start(const JobRecord& record, char* slot, std::size_t size);
std::size_t format_record_state(const JobRecord& record, char* text, std::size_t size);
std::size_t format_record_progress(const JobRecord& record, char* text, std::size_t size);

// The seal: a hash of the slot's bytes before it, in words of 8 bytes, cheap
// enough for every line of a download. It tells a torn or changed slot, not a
// forged one.
inline constexpr std::size_t kSealWord = 8;
inline constexpr std::uint64_t kSealStart = 0x6a09e667f3bcc908u;
std::uint64_t seal_hash(std::uint64_t hash, std::string_view bytes);
inline constexpr std::size_t kSealSize = 15;  // "seal " 8 hex digits, line feed, terminator
// The state, the progress and the seal at their longest (232 bytes), so an
// update need not write the whole slot.
inline constexpr std::size_t kProgressSize = 256;
void format_seal(std::uint64_t hash, char* text);

enum class SlotState { valid, damaged, newer };
// Reads one slot; `format` is the format of a newer one.
SlotState parse_record_slot(std::string_view slot, JobRecord& record, long& format);

// The file's checksum as cksum(1) prints it, read through `fd` from its start
// without moving its offset. False when a read failed.
bool file_cksum(int fd, std::uint32_t& cksum, std::int64_t& size);
