// The running download's record, its file and its lines in the system log.
//
// The record is text a person can read, a field a line, in two slots of its
// file written in turn, each sealed with a checksum of its bytes: a slot torn
// by a power cut or changed by hand fails its seal, and the other, one update
// older, holds. A slot is written whole, with one write, whenever a line is
// acknowledged, so a killed program leaves it exact; it is put on the disk
// every few seconds, so the download never waits on the disk for a line.
#include "jobs/job_record.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <utility>

#include "control/settings.h"
#include "platform/clock.h"
#include "platform/device_map.h"
#include "platform/job_store.h"
#include "platform/serial_port.h"
#include "platform/shown_text.h"
#include "platform/system_log.h"

JobRecord job;

namespace {

constexpr std::size_t kSlotSize = 2048;
constexpr std::string_view kFormatLine = "vqdnc job record 2\n";
constexpr std::size_t kFormatAt = kFormatLine.size() - 2;  // where its number is
// A power cut of the PC loses at most the updates of this long.
constexpr std::int64_t kSyncIntervalMs = 3000;

// A field is a number, a text, or (with neither) the outcome.
struct Field {
    std::string_view key;
    long JobRecord::*number;
    RecordText JobRecord::*text;
};
using R = JobRecord;
constexpr std::array<Field, 19> kFields = {{{"channel", &R::channel, nullptr},
                                            {"device", nullptr, &R::device},
                                            {"rate", &R::rate, nullptr},
                                            {"file", nullptr, &R::file},
                                            {"size", &R::size, nullptr},
                                            {"cksum", &R::cksum, nullptr},
                                            {"lines", &R::lines, nullptr},
                                            {"boot", nullptr, &R::boot},
                                            {"started", &R::started, nullptr},
                                            {"first", &R::first_line, nullptr},
                                            {"outcome", nullptr, nullptr},
                                            {"unanswered", &R::unanswered, nullptr},
                                            {"part-way", &R::part_way, nullptr},
                                            {"refused", &R::refused, nullptr},
                                            {"refused-text", nullptr, &R::refused_text},
                                            {"sequence", &R::sequence, nullptr},
                                            {"acknowledged", &R::acknowledged, nullptr},
                                            {"text", nullptr, &R::acknowledged_text},
                                            {"updated", &R::updated, nullptr}}};
// Set at the start; then those that change only with the download's state;
// then those every line acknowledged changes.
constexpr std::size_t kStartFields = 10;
constexpr std::size_t kStateFields = 15;

// Text into a fixed buffer; once something does not fit, nothing more goes in.
struct TextOut {
    char* data;
    std::size_t size;
    std::size_t used = 0;
    bool full = false;

    void put(std::string_view text) {
        full = full || text.size() > size - used;
        if (!full) std::memcpy(data + used, text.data(), text.size());
        if (!full) used += text.size();
    }
    // A text's bytes shown reversibly, so that the line holds any of them and
    // gives them back exactly; "\..." marks a text cut short.
    void field(const Field& f, const JobRecord& r) {
        char number[24];
        const char* end = f.number ? std::to_chars(number, number + 24, r.*f.number).ptr : number;
        put(f.key);
        put(" ");
        put(f.number || f.text ? std::string_view(number, static_cast<std::size_t>(end - number))
                               : outcome_word(r.outcome));
        if (f.text != nullptr && !full)
            full = append_shown((r.*f.text).view(), data, size, used, true) < (r.*f.text).length;
        put(f.text != nullptr && (r.*f.text).cut ? "\\...\n" : "\n");
    }
};

// The slot as last written: the part set at the start, the state part,
// formatted again only when the state changes, then the rest and the seal.
// Each part's checksum goes on from the one before.
std::array<char, kSlotSize> slot;
std::size_t start_end = 0;  // 0: the start part does not fit
std::size_t state_end = 0;
std::uint32_t start_crc = 0;
std::uint32_t state_crc = 0;
std::array<long, 4> state_shown{};  // what the state part holds

// "seal 89abcdef" and its line feed, for the checksum of the bytes before it.
struct Seal {
    std::array<char, 14> text;
    operator std::string_view() const { return {text.data(), text.size()}; }
};
Seal seal_line(std::uint32_t crc) {
    Seal seal{{'s', 'e', 'a', 'l', ' '}};
    for (int i = 0; i < 8; ++i)
        seal.text[5 + i] = "0123456789abcdef"[(crc >> (28 - 4 * i)) & 0xf];
    seal.text[13] = '\n';
    return seal;
}

// Formats fields [from, to) at `at` of the slot; 0 when they do not fit.
std::size_t format_fields(std::size_t at, std::size_t from, std::size_t to) {
    TextOut out{slot.data(), slot.size(), at, at == 0};
    for (std::size_t i = from; i < to; ++i)
        out.field(kFields[i], job);
    return out.full ? 0 : out.used;
}

bool running = false;
bool kept = false;  // the record is written
std::int64_t started_ms = 0;
std::int64_t synced_ms = 0;

int port() {
    return static_cast<int>(job.channel - 1);
}

void stop_keeping(const char* reason) {
    static bool told = false;
    job_store_close(true);
    kept = false;
    if (std::exchange(told, true)) return;
    char path[512];
    job_store_path(port(), path, sizeof path);
    std::printf("No job record kept in %s: %s - downloads go on without one\n", path, reason);
}

// Writes the older slot whole with the record as it stands.
void write_record() {
    if (!kept) return;
    const std::int64_t now = clock_ms();
    ++job.sequence;
    job.updated = job.started + (now - started_ms) / 1000;
    const std::array<long, 4> state = {static_cast<long>(job.outcome), job.unanswered, job.part_way,
                                       job.refused};
    if (state != state_shown) {
        state_shown = state;
        state_end = format_fields(start_end, kStartFields, kStateFields);
        if (state_end > 0)
            state_crc = crc_update(start_crc, {slot.data() + start_end, state_end - start_end});
    }
    const std::size_t end = format_fields(state_end, kStateFields, kFields.size());
    if (end == 0) return stop_keeping("it does not fit its slot");
    TextOut out{slot.data(), slot.size(), end};
    out.put(seal_line(crc_update(state_crc, {slot.data() + state_end, end - state_end})));
    if (out.full) return stop_keeping("it does not fit its slot");
    const std::size_t at = static_cast<std::size_t>(job.sequence % 2) * kSlotSize;
    if (!job_store_write(at, slot.data(), out.used)) return stop_keeping(std::strerror(errno));
    // A finished download's record is deleted: it needs no sync.
    if (job.outcome == JobOutcome::done ||
        (job.outcome == JobOutcome::running && now - synced_ms < kSyncIntervalMs))
        return;
    synced_ms = now;
    if (!job_store_still_there()) return stop_keeping("another program removed or replaced it");
    if (!job_store_sync()) stop_keeping(std::strerror(errno));
}

void keep_text(RecordText& kept_text, std::string_view text, std::size_t most = 255) {
    const std::size_t taken = std::min(most - std::min(most, kept_text.length), text.size());
    std::copy_n(text.data(), taken, kept_text.bytes.data() + kept_text.length);
    kept_text.length += taken;
    kept_text.cut = kept_text.cut || taken < text.size();
}

// Every field shown as file names are, so no byte of one (a LOGNAME holding
// a line feed) can make a line of its own.
void log_job(const char* event) {
    const JobRecord& r = job;
    char user[64];
    user_name(user, sizeof user);
    char cksum[24] = "unknown";
    if (r.cksum >= 0) std::snprintf(cksum, sizeof cksum, "%ld", r.cksum);
    char line[3000];
    const int length = std::snprintf(
        line, sizeof line,
        "download %s: user=%s channel=COM%ld device='%s' rate=%ld file='%s' cksum=%s size=%ld "
        "first_line=%ld",
        event, shown<63>(user).c_str(), r.channel, shown<256>(r.device.view()).c_str(), r.rate,
        shown<256>(r.file.view()).c_str(), cksum, r.size, r.first_line);
    if (r.outcome != JobOutcome::running)
        std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                      " outcome=%s last_acknowledged=%ld lines_sent=%ld seconds=%.1f",
                      outcome_word(r.outcome), r.acknowledged, r.sent,
                      static_cast<double>(clock_ms() - started_ms) / 1000.0);
    static LogResult told = LogResult::sent;
    const LogResult result = system_log(line);
    if (result == told) return;
    if (result == LogResult::dropped)
        std::printf("The system log takes no lines now: this download's history misses them\n");
    // A person at a terminal is told; a script's output stays as it was.
    if (result == LogResult::no_log && isatty(STDOUT_FILENO))
        std::printf("No system log is listening: no job history is kept\n");
    if (result != LogResult::sent) told = result;
}

}  // namespace

void job_record_prepare(const char* path, long first_line, const FileSurvey* survey) {
    job = JobRecord{};
    job.channel = settings.port_number + 1;
    char text[kShownPathSize];
    shown_device_path(settings.port_number, text, sizeof text);
    keep_text(job.device, text);
    job.rate = rate_value(settings.rate_code);
    // A relative name as seen from here, so the record serves from anywhere.
    if (path[0] != '/' && getcwd(text, sizeof text) != nullptr) {
        keep_text(job.file, text);
        keep_text(job.file, "/");
    }
    keep_text(job.file, path);
    if (job.file.cut) job.file = RecordText{};
    if (job.file.length == 0) keep_text(job.file, path);
    job.cksum = survey != nullptr ? survey_cksum(*survey) : -1;
    job.size = survey != nullptr ? survey->size : 0;
    job.lines = survey != nullptr ? survey_lines(*survey) : 0;
    job.first_line = first_line;
}

void job_record_begin() {
    running = true;
    char boot[64];
    boot_id(boot, sizeof boot);
    keep_text(job.boot, boot);
    job.started = wall_clock_s();
    started_ms = synced_ms = clock_ms();
    mark_channel_told(port());  // this download tells its own end
    log_job("started");
    std::memcpy(slot.data(), kFormatLine.data(), kFormatLine.size());
    start_end = format_fields(kFormatLine.size(), 0, kStartFields);
    start_crc = crc_update(0, {slot.data(), start_end});
    state_shown.fill(-1);
    const char* reason = job_store_open(port());
    kept = reason == nullptr;
    if (!kept) return stop_keeping(reason);
    // Both slots, so nothing of an earlier record is left.
    write_record();
    write_record();
}

void job_line_begins(long line) {
    job.line = line;
    job.line_text = RecordText{};
}

void job_line_text(std::string_view text) {
    keep_text(job.line_text, text, kLineTextKept);
}

void job_line_part_sent() {
    if (std::exchange(job.part_way, job.line) != job.line) write_record();
}

// Noted, not written, unless the line went out in pieces: the record of the
// last line acknowledged already tells that a later one may be out, and a
// write for every line sent as well would cost a fast download its speed.
void job_line_sent() {
    ++job.sent;
    // After a time-out no more lines go; the first unanswered one counts.
    if (job.unanswered == 0) job.unanswered = job.line;
    if (std::exchange(job.part_way, 0) != 0) write_record();
}

void job_line_acknowledged() {
    job.acknowledged = job.line;
    job.acknowledged_text = job.line_text;
    job.unanswered = 0;
    write_record();
}

void job_line_refused() {
    job.refused = job.line;
    job.refused_text = job.line_text;
    job.unanswered = 0;  // its prompt came
}

void job_refused_after_prompt() {
    job.refused = job.acknowledged;
    job.refused_text = job.acknowledged_text;
}

void job_record_end(JobOutcome outcome) {
    if (!std::exchange(running, false)) return;
    job.outcome = outcome;
    log_job("ended");
    write_record();
    // A download that ran to its end leaves nothing to recover.
    if (kept) job_store_close(outcome == JobOutcome::done);
    kept = false;
}

namespace {

bool read_field(const Field& f, std::string_view value, JobRecord& r) {
    const char* end = value.data() + value.size();
    if (f.number != nullptr)
        return !value.empty() && std::from_chars(value.data(), end, r.*f.number).ptr == end;
    if (f.text == nullptr) {
        while (r.outcome != JobOutcome::text_after_nul && value != outcome_word(r.outcome))
            r.outcome = static_cast<JobOutcome>(static_cast<int>(r.outcome) + 1);
        return value == outcome_word(r.outcome);
    }
    RecordText& text = r.*f.text;
    text.cut = value.ends_with("\\...");
    if (text.cut) value.remove_suffix(4);
    return read_shown(value, text.bytes.data(), text.bytes.size() - 1, text.length);
}

// Every field once, under a seal that matches the slot's bytes.
RecordRead read_slot(std::string_view slot, JobRecord& record, long& format) {
    const std::size_t first_end = slot.find('\n');
    const char* number = slot.data() + kFormatAt;
    if (!slot.starts_with(kFormatLine.substr(0, kFormatAt)) || first_end == slot.npos ||
        std::from_chars(number, slot.data() + first_end, format).ptr != slot.data() + first_end)
        return RecordRead::damaged;
    if (slot.substr(0, first_end + 1) != kFormatLine)
        return format != kRecordFormat ? RecordRead::other_format : RecordRead::damaged;
    const std::size_t seal = slot.find("\nseal ");
    const Seal expected = seal_line(crc_update(0, slot.substr(0, seal + 1)));
    if (seal == slot.npos || !slot.substr(seal + 1).starts_with(expected))
        return RecordRead::damaged;
    std::uint32_t seen = 0;
    for (std::size_t at = first_end + 1; at <= seal;) {
        const std::string_view line = slot.substr(at, slot.find('\n', at) - at);
        at += line.size() + 1;
        std::size_t i = 0;
        while (i < kFields.size() && !(line.starts_with(kFields[i].key) &&
                                       line.substr(kFields[i].key.size()).starts_with(' ')))
            ++i;
        if (i == kFields.size() || (seen & 1u << i) != 0 ||
            !read_field(kFields[i], line.substr(kFields[i].key.size() + 1), record))
            return RecordRead::damaged;
        seen |= 1u << i;
    }
    const bool channel = record.channel >= 1 && record.channel <= serial::kPortCount;
    return seen == (1u << kFields.size()) - 1 && channel ? RecordRead::valid : RecordRead::damaged;
}

}  // namespace

const char* outcome_word(JobOutcome outcome) {
    static constexpr std::array<const char*, 12> kWords = {
        "running",          "done",          "stopped",      "link-lost",
        "controller-error", "echo-differed", "time-out",     "unfinished-line",
        "read-failed",      "signal",        "file-changed", "nul-in-line"};
    return kWords[static_cast<std::size_t>(outcome)];
}

RecordRead read_record(std::string_view bytes, JobRecord& newest, long& format) {
    RecordRead state = RecordRead::damaged;
    for (std::size_t from = 0; from < 2 * kSlotSize; from += kSlotSize) {
        JobRecord record;
        const RecordRead read =
            read_slot(bytes.substr(std::min(from, bytes.size()), kSlotSize), record, format);
        if (read == RecordRead::other_format) return read;
        if (read == RecordRead::valid && (state != read || record.sequence > newest.sequence)) {
            newest = record;
            state = read;
        }
    }
    return state;
}
