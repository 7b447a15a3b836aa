// The running download's record and its lines in the system log.
//
// The record is rewritten in place, into the page cache, whenever a line is
// acknowledged: a killed program leaves it exact. It is put on the disk every
// few seconds and at the end, so the download never waits on the disk for a
// line. An update is a few hundred bytes formatted in memory, as the download
// makes one for every line.
#include "jobs/job_record.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/settings.h"
#include "control/text.h"
#include "jobs/record_format.h"
#include "platform/clock.h"
#include "platform/job_store.h"
#include "platform/system_log.h"

namespace {

constexpr std::int64_t kSyncIntervalMs = kSyncIntervalS * 1000;

// The start part's texts at their longest, with its keys and numbers (161
// bytes at most), leave room for the rewritten part.
static_assert(kShownPathSize + kRecordPathSize + kBootIdSize + 168 + kProgressSize <= kSlotSize);

struct RunningJob {
    bool running = false;
    bool kept = false;  // its record is written
    JobRecord record;
    std::size_t start_length = 0;  // of the part set at the start
    std::uint64_t start_hash = 0;
    // The state as last formatted, its text, the hash up to its end, and
    // whether each slot holds that text.
    bool state_formatted = false;
    JobOutcome outcome = JobOutcome::running;
    long unanswered = 0;
    long part_way = 0;
    std::array<char, kProgressSize> state_text;
    std::size_t state_length = 0;
    std::uint64_t state_hash = 0;
    std::array<bool, kSlotCount> slot_has_state{};
    std::array<std::size_t, kSlotCount> slot_used{};  // state, progress and seal
    std::int64_t started_ms = 0;
    std::int64_t synced_ms = 0;
    std::int64_t clocked_ms = 0;  // when the clock was read last
    int clock_stride = 1;         // updates from one reading to the next
    int unclocked = 0;            // updates since the last reading
    long lines_sent = 0;
    std::array<char, 64> user{};
};

RunningJob job;
bool store_failure_told = false;

void tell_store_failure(int error) {
    if (store_failure_told) return;
    store_failure_told = true;
    char path[512];
    job_store_path(job.record.port, path, sizeof path);
    std::printf("No job record kept in %s: %s - downloads go on without one\n", path,
                error == EWOULDBLOCK ? "another vqdnc is using it" : std::strerror(error));
}

// A record that could not be brought up to date would tell a wrong place.
void give_up_record() {
    tell_store_failure(errno);
    job_store_close(true);
    job.kept = false;
}

// The clock is read for every update while lines are slow, and for every
// 64th at most while many go out within a millisecond: it is the dearest part
// of an update, and a sync or a time noted a few lines late is no loss.
std::int64_t clock_for_update() {
    if (++job.unclocked < job.clock_stride) return job.clocked_ms;
    const std::int64_t now = clock_ms();
    job.clock_stride = now == job.clocked_ms ? std::min(job.clock_stride * 2, 64) : 1;
    job.unclocked = 0;
    job.clocked_ms = now;
    return now;
}

// Formats the state when it has changed since it was formatted last.
void format_state() {
    const JobRecord& r = job.record;
    if (job.state_formatted && job.outcome == r.outcome && job.unanswered == r.unanswered &&
        job.part_way == r.part_way)
        return;
    job.state_length = format_record_state(r, job.state_text.data(), job.state_text.size());
    job.state_hash = seal_hash(job.start_hash, {job.state_text.data(), job.state_length});
    job.state_formatted = true;
    job.outcome = r.outcome;
    job.unanswered = r.unanswered;
    job.part_way = r.part_way;
    job.slot_has_state.fill(false);
}

// Rewrites the older slot, in place, with the state now: its rewritten part,
// or with `whole` all of it.
void write_record(bool whole = false) {
    if (!job.kept) return;
    JobRecord& r = job.record;
    const std::int64_t now = clock_for_update();
    ++r.sequence;
    r.updated = r.started + (now - job.started_ms) / 1000;
    format_state();
    const std::size_t slot = r.sequence % kSlotCount;
    char* part = job_store_bytes() + slot * kSlotSize + job.start_length;
    if (!job.slot_has_state[slot]) std::memcpy(part, job.state_text.data(), job.state_length);
    job.slot_has_state[slot] = true;
    char* progress = part + job.state_length;
    const std::size_t length =
        format_record_progress(r, progress, kProgressSize - job.state_length - kSealSize);
    format_seal(seal_hash(job.state_hash, {progress, length}), progress + length);
    progress[length + kSealSize - 1] = '\n';  // not the terminator: the slot is text
    // What a longer update left past the seal is blanked.
    const std::size_t used = job.state_length + length + kSealSize;
    if (used < job.slot_used[slot]) std::memset(part + used, '\n', job.slot_used[slot] - used);
    job.slot_used[slot] = used;
    const std::size_t from = whole ? 0 : job.start_length;
    if (!job_store_commit(slot * kSlotSize + from, whole ? kSlotSize : kProgressSize))
        return give_up_record();
    if (now - job.synced_ms < kSyncIntervalMs) return;
    job.synced_ms = now;
    if (!job_store_sync()) give_up_record();
}

void keep_record() {
    if (!job_store_open(job.record.port, kRecordSize)) return tell_store_failure(errno);
    char* bytes = job_store_bytes();
    std::memset(bytes, '\n', kRecordSize);
    job.start_length = format_record_start(job.record, bytes, kSlotSize);
    std::memcpy(bytes + kSlotSize, bytes, job.start_length);
    job.start_hash = seal_hash(kSealStart, {bytes, job.start_length});
    job.kept = true;
    // Both slots, so nothing of an earlier record is left.
    write_record(true);
    write_record(true);
}

// A relative name as seen from here, so the record serves from anywhere.
void absolute_path(const char* path, std::array<char, kRecordPathSize>& name) {
    char directory[kRecordPathSize];
    const int length = path[0] == '/' || getcwd(directory, sizeof directory) == nullptr
                           ? -1
                           : std::snprintf(name.data(), name.size(), "%s/%s", directory, path);
    if (length < 0 || static_cast<std::size_t>(length) >= name.size())
        std::snprintf(name.data(), name.size(), "%s", path);
    for (char& c : name) {
        if (c != '\0' && is_control_byte(c)) c = '?';
    }
}

// What both log lines say of the download.
int describe_job(char* line, std::size_t size, const char* event) {
    const JobRecord& r = job.record;
    return std::snprintf(line, size,
                         "download %s: user=%s channel=COM%d device='%s' rate=%d file='%s' "
                         "cksum=%u size=%lld first_line=%ld",
                         event, job.user.data(), r.port + 1, r.device.data(), r.rate, r.file.data(),
                         r.cksum, static_cast<long long>(r.size), r.first_line);
}

void log_job_end(JobOutcome outcome) {
    char line[1024];
    const int length = describe_job(line, sizeof line, "ended");
    const double seconds = static_cast<double>(clock_ms() - job.started_ms) / 1000.0;
    if (length > 0 && static_cast<std::size_t>(length) < sizeof line)
        std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                      " outcome=%s last_acknowledged=%ld lines_sent=%ld seconds=%.1f",
                      outcome_word(outcome), job.record.acknowledged, job.lines_sent, seconds);
    system_log(line);
}

}  // namespace

void job_record_begin(const char* path, int fd, long first_line) {
    job = RunningJob{};
    JobRecord& r = job.record;
    r.port = settings.port_number;
    mark_channel_told(r.port);
    shown_device_path(r.port, r.device.data(), r.device.size());
    r.rate = rate_value(settings.rate_code);
    absolute_path(path, r.file);
    file_cksum(fd, r.cksum, r.size);
    boot_id(r.boot.data(), r.boot.size());
    r.started = wall_clock_s();
    r.first_line = first_line;
    user_name(job.user.data(), job.user.size());
    job.started_ms = job.synced_ms = job.clocked_ms = clock_ms();
    job.running = true;
    char line[1024];
    describe_job(line, sizeof line, "started");
    system_log(line);
    keep_record();
}

void job_record_line_begun(long line) {
    if (job.record.part_way == line) return;
    job.record.part_way = line;
    write_record();
}

// Noted, not written, unless the line went out in pieces: the record of the
// last line acknowledged already tells that a later one may be out, and a
// write for every line sent as well would cost a fast download its speed.
// The download's end writes it.
void job_record_line_sent(long line) {
    ++job.lines_sent;
    JobRecord& r = job.record;
    // After a time-out the next line goes too; the first unanswered one counts.
    if (r.unanswered == 0) r.unanswered = line;
    if (r.part_way == 0) return;
    r.part_way = 0;
    write_record();
}

void job_record_acknowledged(long line, std::string_view head, bool cut) {
    JobRecord& r = job.record;
    r.acknowledged = line;
    r.unanswered = 0;
    r.part_way = 0;
    const std::size_t kept = std::min(head.size(), r.text.size() - 4);
    std::memcpy(r.text.data(), head.data(), kept);
    std::memcpy(r.text.data() + kept, cut ? "...\0" : "\0", cut ? 4 : 1);
    write_record();
}

void job_record_end(JobOutcome outcome) {
    if (!job.running) return;
    job.running = false;
    log_job_end(outcome);
    job.record.outcome = outcome;
    write_record();
    if (!job.kept) return;
    // A download that ran to its end leaves nothing to recover; the record
    // says so too, should it outlast the deletion.
    if (outcome != JobOutcome::done) job_store_sync();
    job_store_close(outcome == JobOutcome::done);
    job.kept = false;
}
