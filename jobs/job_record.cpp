// The running download's record, its file and its lines in the system log.
//
// The record is text a person can read, in two slots of its file written in
// turn, each sealed with a checksum of its bytes: a slot torn by a power cut
// or changed by hand fails its seal, and the other, one update older, holds.
// A slot is written whole, with one write, whenever a line is acknowledged,
// so a killed program leaves it exact; it is put on the disk every few
// seconds, so the download never waits on the disk for a line.
#include "jobs/job_record.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

#include "control/settings.h"
#include "platform/clock.h"
#include "platform/job_store.h"
#include "platform/serial_port.h"
#include "platform/shown_text.h"
#include "platform/system_log.h"

JobRecord job;

namespace {

constexpr std::size_t kSlotSize = 2048;
constexpr std::size_t kSlotCount = 2;
constexpr long kRecordFormat = 2;
constexpr std::string_view kFormatPrefix = "vqdnc job record ";
// How often a running download's record is put on the disk: a power cut of
// the PC loses at most the updates of that long.
constexpr std::int64_t kSyncIntervalMs = 3000;

constexpr std::array<const char*, 10> kOutcomeWords = {
    "running",       "done",   "stopped",         "link-lost",   "controller-error",
    "echo-differed", "time-out", "unfinished-line", "read-failed", "signal"};

// Text into a fixed buffer; once something does not fit, nothing more goes in.
struct TextOut {
    char* data;
    std::size_t size;
    std::size_t used = 0;
    bool full = false;

    void put(std::string_view text) {
        full = full || text.size() > size - used;
        if (full) return;
        std::memcpy(data + used, text.data(), text.size());
        used += text.size();
    }
    void digits(std::int64_t value) {
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        put({text, static_cast<std::size_t>(end - text)});
    }
    void number(std::string_view key, std::int64_t value) {
        put(key);
        put(" ");
        digits(value);
        put("\n");
    }
    // Any byte, escaped so that the line holds it and gives it back exactly.
    void text(std::string_view key, std::string_view value, bool cut = false) {
        put(key);
        put(" ");
        if (!full && append_shown(value, data, size, used, true) < value.size()) full = true;
        put(cut ? "\\...\n" : "\n");
    }
};

// The part set at the start, formatted once.
std::array<char, kSlotSize> head;
std::size_t head_length = 0;
bool kept = false;  // the record is written
bool running = false;
std::int64_t started_ms = 0;
std::int64_t synced_ms = 0;
bool failure_told = false;

void tell_store_failure(const char* reason) {
    if (failure_told) return;
    failure_told = true;
    char path[512];
    job_store_path(job.port, path, sizeof path);
    std::printf("No job record kept in %s: %s - downloads go on without one\n", path, reason);
}

void stop_keeping(const char* reason) {
    tell_store_failure(reason);
    job_store_close(true);
    kept = false;
}

void format_head() {
    const JobRecord& r = job;
    TextOut out{head.data(), head.size()};
    out.put(kFormatPrefix);
    out.digits(kRecordFormat);
    out.put("\nchannel COM");
    out.digits(r.port + 1);
    out.put("\n");
    out.text("device", r.device.data());
    out.number("rate", r.rate);
    out.text("file", r.file.data());
    out.number("size", r.size);
    if (r.cksum < 0) out.put("cksum unknown\n");
    if (r.cksum >= 0) out.number("cksum", r.cksum);
    out.number("lines", r.lines);
    out.text("boot", r.boot.data());
    out.number("started", r.started);
    out.number("first", r.first_line);
    head_length = out.full ? 0 : out.used;
}

// Writes the older slot whole with the record as it stands.
void write_record() {
    if (!kept) return;
    JobRecord& r = job;
    const std::int64_t now = clock_ms();
    ++r.sequence;
    r.updated = r.started + (now - started_ms) / 1000;
    std::array<char, kSlotSize> slot;
    std::memcpy(slot.data(), head.data(), head_length);
    TextOut out{slot.data(), slot.size(), head_length};
    out.number("sequence", static_cast<std::int64_t>(r.sequence));
    out.text("outcome", kOutcomeWords[static_cast<std::size_t>(r.outcome)]);
    out.number("acknowledged", r.acknowledged);
    out.text("text", r.acknowledged_text.view(), r.acknowledged_text.cut);
    out.number("unanswered", r.unanswered);
    out.number("part-way", r.part_way);
    out.number("refused", r.refused);
    out.text("refused-text", r.refused_text.view(), r.refused_text.cut);
    out.number("updated", r.updated);
    char seal[16];
    std::snprintf(seal, sizeof seal, "seal %08x\n", crc_update(0, {slot.data(), out.used}));
    out.put(seal);
    if (out.full || head_length == 0) return stop_keeping("the record does not fit its slot");
    if (!job_store_write(r.sequence % kSlotCount * kSlotSize, slot.data(), out.used))
        return stop_keeping(std::strerror(errno));
    // A finished download's record is deleted: it needs no sync.
    const bool ending = r.outcome != JobOutcome::running;
    if ((!ending && now - synced_ms < kSyncIntervalMs) || r.outcome == JobOutcome::done) return;
    synced_ms = now;
    if (!job_store_still_there())
        return stop_keeping("another program removed or replaced it");
    if (!job_store_sync()) stop_keeping(std::strerror(errno));
}

// A relative name as seen from here, so the record serves from anywhere.
void full_path(const char* path, std::array<char, kRecordPathSize>& name) {
    char directory[kRecordPathSize];
    const int length = path[0] == '/' || getcwd(directory, sizeof directory) == nullptr
                           ? -1
                           : std::snprintf(name.data(), name.size(), "%s/%s", directory, path);
    if (length < 0 || static_cast<std::size_t>(length) >= name.size())
        std::snprintf(name.data(), name.size(), "%s", path);
}

// Every field shown as file names are, so no byte of one (a LOGNAME holding
// a line feed) can make a line of its own.
void log_job(const char* event) {
    const JobRecord& r = job;
    char user[64];
    user_name(user, sizeof user);
    char cksum[24] = "unknown";
    if (r.cksum >= 0) std::snprintf(cksum, sizeof cksum, "%lld", static_cast<long long>(r.cksum));
    char line[2048];
    int length = std::snprintf(line, sizeof line,
                               "download %s: user=%s channel=COM%d device='%s' rate=%d file='%s' "
                               "cksum=%s size=%lld first_line=%ld",
                               event, shown<63>(user).c_str(), r.port + 1,
                               shown<kShownPathSize>(r.device.data()).c_str(), r.rate,
                               shown<kRecordPathSize>(r.file.data()).c_str(), cksum,
                               static_cast<long long>(r.size), r.first_line);
    if (r.outcome != JobOutcome::running && length > 0 &&
        static_cast<std::size_t>(length) < sizeof line)
        std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                      " outcome=%s last_acknowledged=%ld lines_sent=%ld seconds=%.1f",
                      kOutcomeWords[static_cast<std::size_t>(r.outcome)], r.acknowledged, r.sent,
                      static_cast<double>(clock_ms() - started_ms) / 1000.0);
    static bool dropped_told = false;
    static bool no_log_told = false;
    const LogResult result = system_log(line);
    if (result == LogResult::dropped && !dropped_told)
        std::printf("The system log takes no lines now: this download's history misses them\n");
    if (result == LogResult::no_log && !no_log_told && isatty(STDOUT_FILENO))
        std::printf("No system log is listening: no job history is kept\n");
    dropped_told = dropped_told || result == LogResult::dropped;
    no_log_told = no_log_told || result == LogResult::no_log;
}

void keep_text(LineText& kept_text, std::string_view text) {
    const std::size_t room = kept_text.bytes.size() - kept_text.length;
    const std::size_t taken = std::min(room, text.size());
    std::memcpy(kept_text.bytes.data() + kept_text.length, text.data(), taken);
    kept_text.length += taken;
    kept_text.cut = kept_text.cut || taken < text.size();
}

}  // namespace

void job_record_prepare(const char* path, long first_line, const FileSurvey* survey) {
    job = JobRecord{};
    job.port = settings.port_number;
    shown_device_path(job.port, job.device.data(), job.device.size());
    job.rate = rate_value(settings.rate_code);
    full_path(path, job.file);
    if (survey != nullptr) {
        job.cksum = survey->cksum;
        job.size = survey->size;
        job.lines = survey->lines;
    }
    job.first_line = first_line;
}

void job_record_begin() {
    running = true;
    boot_id(job.boot.data(), job.boot.size());
    job.started = wall_clock_s();
    started_ms = synced_ms = clock_ms();
    mark_channel_told(job.port);  // this download tells its own end
    log_job("started");
    format_head();
    const char* reason = job_store_open(job.port);
    kept = reason == nullptr;
    if (!kept) return tell_store_failure(reason);
    // Both slots, so nothing of an earlier record is left.
    write_record();
    write_record();
}

void job_line_begins(long line) {
    job.line = line;
    job.line_text = LineText{};
}

void job_line_text(std::string_view text) {
    keep_text(job.line_text, text);
}

void job_line_part_sent() {
    if (job.part_way == job.line) return;
    job.part_way = job.line;
    write_record();
}

// Noted, not written, unless the line went out in pieces: the record of the
// last line acknowledged already tells that a later one may be out, and a
// write for every line sent as well would cost a fast download its speed.
void job_line_sent() {
    ++job.sent;
    // After a time-out no more lines go; the first unanswered one counts.
    if (job.unanswered == 0) job.unanswered = job.line;
    if (job.part_way == 0) return;
    job.part_way = 0;
    write_record();
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
    if (!running) return;
    running = false;
    job.outcome = outcome;
    log_job("ended");
    write_record();
    // A download that ran to its end leaves nothing to recover.
    if (kept) job_store_close(outcome == JobOutcome::done);
    kept = false;
}

namespace {

template <typename Number>
bool read_number(std::string_view text, Number& value) {
    std::int64_t read = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, read);
    if (text.empty() || text[0] == '-' || result.ec != std::errc{} || result.ptr != end ||
        static_cast<std::uint64_t>(read) > std::numeric_limits<Number>::max())
        return false;
    value = static_cast<Number>(read);
    return true;
}

// The bytes of an escaped field; "\..." at its end marks a text cut short.
bool read_text(std::string_view text, char* out, std::size_t size, std::size_t& length,
               bool* cut = nullptr) {
    length = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        char c = text[at];
        if (c == '\\') {
            const std::string_view rest = text.substr(at + 1);
            if (cut != nullptr && rest == "...") return *cut = true;
            std::uint8_t code = 0;
            const char* hex = rest.data() + 1;
            if (rest.starts_with('x') && rest.size() >= 3 &&
                std::from_chars(hex, hex + 2, code, 16).ptr == hex + 2) {
                c = static_cast<char>(code);
                at += 2;
            } else if (rest.empty() || std::string_view("\\tnr").find(rest[0]) == rest.npos) {
                return false;
            } else {
                c = rest[0] == 't' ? '\t' : rest[0] == 'n' ? '\n' : rest[0] == 'r' ? '\r' : '\\';
            }
            ++at;
        }
        if (length + 1 >= size) return false;
        out[length++] = c;
    }
    out[length] = '\0';
    return true;
}

template <std::size_t N>
bool read_name(std::string_view text, std::array<char, N>& value) {
    std::size_t length = 0;
    return read_text(text, value.data(), N, length) && std::strlen(value.data()) == length;
}

bool read_line_text(std::string_view text, LineText& value) {
    std::array<char, kRecordTextSize + 1> bytes;
    value = LineText{};
    if (!read_text(text, bytes.data(), bytes.size(), value.length, &value.cut)) return false;
    std::memcpy(value.bytes.data(), bytes.data(), value.length);
    return true;
}

struct Field {
    std::string_view key;
    bool (*read)(std::string_view text, JobRecord& r);
};

// Every field must be there, once.
constexpr std::array<Field, 19> kFields = {{
    {"channel",
     [](std::string_view t, JobRecord& r) {
         int channel = 0;
         if (!t.starts_with("COM") || !read_number(t.substr(3), channel)) return false;
         r.port = channel - 1;
         return channel >= 1 && channel <= serial::kPortCount;
     }},
    {"device", [](std::string_view t, JobRecord& r) { return read_name(t, r.device); }},
    {"rate", [](std::string_view t, JobRecord& r) { return read_number(t, r.rate); }},
    {"file", [](std::string_view t, JobRecord& r) { return read_name(t, r.file); }},
    {"size", [](std::string_view t, JobRecord& r) { return read_number(t, r.size); }},
    {"cksum",
     [](std::string_view t, JobRecord& r) {
         return t == "unknown" || (read_number(t, r.cksum) && r.cksum <= 0xffffffff);
     }},
    {"lines", [](std::string_view t, JobRecord& r) { return read_number(t, r.lines); }},
    {"boot", [](std::string_view t, JobRecord& r) { return read_name(t, r.boot); }},
    {"started", [](std::string_view t, JobRecord& r) { return read_number(t, r.started); }},
    {"first", [](std::string_view t, JobRecord& r) { return read_number(t, r.first_line); }},
    {"sequence", [](std::string_view t, JobRecord& r) { return read_number(t, r.sequence); }},
    {"outcome",
     [](std::string_view t, JobRecord& r) {
         for (std::size_t i = 0; i < kOutcomeWords.size(); ++i) {
             if (t == kOutcomeWords[i]) r.outcome = static_cast<JobOutcome>(i);
         }
         return t == kOutcomeWords[static_cast<std::size_t>(r.outcome)];
     }},
    {"acknowledged",
     [](std::string_view t, JobRecord& r) { return read_number(t, r.acknowledged); }},
    {"text", [](std::string_view t, JobRecord& r) { return read_line_text(t, r.acknowledged_text); }},
    {"unanswered", [](std::string_view t, JobRecord& r) { return read_number(t, r.unanswered); }},
    {"part-way", [](std::string_view t, JobRecord& r) { return read_number(t, r.part_way); }},
    {"refused", [](std::string_view t, JobRecord& r) { return read_number(t, r.refused); }},
    {"refused-text",
     [](std::string_view t, JobRecord& r) { return read_line_text(t, r.refused_text); }},
    {"updated", [](std::string_view t, JobRecord& r) { return read_number(t, r.updated); }},
}};

// The field's bit, 0 when the line is no field or its value does not read.
std::uint32_t read_field(std::string_view line, JobRecord& record) {
    const std::size_t space = line.find(' ');
    for (std::size_t i = 0; i < kFields.size() && space != line.npos; ++i) {
        if (kFields[i].key == line.substr(0, space))
            return kFields[i].read(line.substr(space + 1), record) ? 1u << i : 0;
    }
    return 0;
}

RecordRead read_slot(std::string_view slot, JobRecord& record, long& format) {
    const std::size_t first_end = slot.find('\n');
    if (!slot.starts_with(kFormatPrefix) || first_end == slot.npos ||
        !read_number(slot.substr(kFormatPrefix.size(), first_end - kFormatPrefix.size()), format))
        return RecordRead::damaged;
    if (format > kRecordFormat) return RecordRead::newer;
    const std::size_t seal = slot.find("\nseal ");
    if (format != kRecordFormat || seal == slot.npos) return RecordRead::damaged;
    char expected[16];
    std::snprintf(expected, sizeof expected, "seal %08x\n", crc_update(0, slot.substr(0, seal + 1)));
    if (!slot.substr(seal + 1).starts_with(expected)) return RecordRead::damaged;
    record = JobRecord{};
    std::uint32_t seen = 0;
    for (std::size_t at = first_end + 1; at <= seal;) {
        const std::size_t end = slot.find('\n', at);
        const std::uint32_t bit = read_field(slot.substr(at, end - at), record);
        if (bit == 0 || (seen & bit) != 0) return RecordRead::damaged;
        seen |= bit;
        at = end + 1;
    }
    return seen == (1u << kFields.size()) - 1 ? RecordRead::valid : RecordRead::damaged;
}

}  // namespace

RecordRead read_record(std::string_view bytes, JobRecord& newest, long& format) {
    RecordRead state = RecordRead::damaged;
    for (std::size_t i = 0; i < kSlotCount; ++i) {
        JobRecord record;
        const std::size_t from = std::min(i * kSlotSize, bytes.size());
        const RecordRead read = read_slot(bytes.substr(from, kSlotSize), record, format);
        if (read == RecordRead::newer) return read;
        if (read != RecordRead::valid ||
            (state == RecordRead::valid && record.sequence < newest.sequence))
            continue;
        newest = record;
        state = read;
    }
    return state;
}
