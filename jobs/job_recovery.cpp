// What a record left by a download that did not finish tells, shown before
// anything is sent on its channel. Nothing is resumed by itself: the operator
// reads where the job stood and gives the resume command shown.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "control/regular_file.h"
#include "jobs/job_record.h"
#include "jobs/record_format.h"
#include "platform/job_store.h"
#include "platform/serial_port.h"

namespace {

// "-f" and the name within the 199 characters of an option.
constexpr std::size_t kLongestName = 197;

std::array<bool, serial::kPortCount> told{};

bool is_port(int port) {
    return port >= 0 && port < serial::kPortCount;
}

// The newer of the slots that hold; damaged when neither does.
SlotState newest_slot(std::string_view bytes, JobRecord& newest, long& format) {
    SlotState state = SlotState::damaged;
    for (std::size_t i = 0; i < kSlotCount; ++i) {
        JobRecord record;
        const std::size_t from = std::min(i * kSlotSize, bytes.size());
        const SlotState read = parse_record_slot(bytes.substr(from, kSlotSize), record, format);
        if (read == SlotState::newer) return read;
        if (read != SlotState::valid ||
            (state == SlotState::valid && record.sequence < newest.sequence))
            continue;
        newest = record;
        state = read;
    }
    return state;
}

}  // namespace

void print_unanswered(long line) {
    std::printf(
        "  Line %ld went out whole but its prompt did not come: the controller may or may not "
        "have run it\n",
        line);
}

namespace {

const char* how_it_ended(JobOutcome outcome) {
    switch (outcome) {
        case JobOutcome::stopped:
            return "It was stopped by the operator";
        case JobOutcome::link_lost:
            return "It stopped: the link was lost";
        case JobOutcome::controller_error:
            return "It stopped: the controller reported an error";
        case JobOutcome::unfinished_line:
            return "It stopped: a line was left unfinished";
        case JobOutcome::read_failed:
            return "It stopped: the file could not be read";
        case JobOutcome::timed_out:
            return "It stopped: the controller did not answer in time";
        case JobOutcome::signalled:
            return "A signal ended vqdnc in the middle of it";
        default:
            return "vqdnc ended in the middle of it (killed, crashed, or the PC went down)";
    }
}

void print_time(std::int64_t seconds) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    char text[32] = "?";
    if (localtime_r(&when, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::printf("%s", text);
}

// The resume command, typed as shown, sends the rest of the file: a name a
// shell would split or expand is quoted in the option, and a name with a
// blank, which no console word can hold, is given as options only.
void print_resume(long line, std::string_view name) {
    if (name.size() > kLongestName) {
        std::printf("  To resume: from line %ld - the file's name is too long to give with f\n",
                    line);
        return;
    }
    const bool plain =
        name.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+,:=@%-") ==
        std::string_view::npos;
    char option[4 * kLongestName + 8];
    std::size_t used = 0;
    for (char c : plain ? std::string_view("-f") : std::string_view("'-f"))
        option[used++] = c;
    for (char c : name) {
        if (c == '\'') {
            std::memcpy(option + used, "'\\''", 4);
            used += 4;
        } else {
            option[used++] = c;
        }
    }
    if (!plain) option[used++] = '\'';
    option[used] = '\0';
    if (name.find_first_of(" \t") == std::string_view::npos) {
        std::printf("  To resume: r%ld then f%.*s (options: -r%ld %s)\n", line,
                    static_cast<int>(name.size()), name.data(), line, option);
    } else {
        std::printf("  To resume: -r%ld %s as options (a name with a blank is no console word)\n",
                    line, option);
    }
}

void print_block(const JobRecord& r, std::uint32_t cksum_now) {
    std::printf("Download on COM%d not finished: '%s', started ", r.port + 1, r.file.data());
    print_time(r.started);
    std::printf(", last noted ");
    print_time(r.updated);
    std::printf("\n  %s\n", how_it_ended(r.outcome));
    if (r.acknowledged > 0) {
        std::printf("  The controller acknowledged line %ld last (%s)\n", r.acknowledged,
                    r.text.data());
    } else {
        std::printf("  The controller acknowledged none of its lines\n");
    }
    if (r.unanswered > 0) print_unanswered(r.unanswered);
    // A line sent is written down only with the next acknowledgement or the end.
    if (r.outcome == JobOutcome::running && r.unanswered == 0 && r.part_way == 0)
        std::printf(
            "  The next line may have gone out whole without its prompt: the controller may or "
            "may not have run it\n");
    if (r.part_way > 0)
        std::printf(
            "  Line %ld went out in part, without its end: the controller may hold the start of "
            "it\n",
            r.part_way);
    std::array<char, kBootIdSize> boot{};
    boot_id(boot.data(), boot.size());
    if (r.outcome == JobOutcome::running && std::strcmp(boot.data(), r.boot.data()) != 0)
        std::printf(
            "  The PC has started again since: the last %d seconds of the download may be "
            "missing from this record\n",
            kSyncIntervalS);
    if (cksum_now == r.cksum) {
        std::printf("  The file is unchanged since (cksum %u)\n", r.cksum);
    } else {
        std::printf(
            "  The file has changed since (cksum %u then, %u now): its lines may not be the ones "
            "that were sent\n",
            r.cksum, cksum_now);
    }
    print_resume(r.acknowledged > 0 ? r.acknowledged + 1 : r.first_line, r.file.data());
}

// Checks the record's file against its checksum, then shows the block.
void show_record(const JobRecord& record, const char* path) {
    const char* reason = nullptr;
    const int fd = open_regular_file(record.file.data(), reason);
    std::uint32_t cksum = 0;
    std::int64_t size = 0;
    if (fd >= 0 && !file_cksum(fd, cksum, size)) reason = std::strerror(errno);
    if (fd >= 0) close(fd);
    if (fd < 0 || reason != nullptr) {
        std::printf("Job record %s ignored: its file '%s' cannot be read: %s\n", path,
                    record.file.data(), reason);
        return;
    }
    print_block(record, cksum);
}

}  // namespace

void mark_channel_told(int port) {
    if (is_port(port)) told[port] = true;
}

void show_unfinished_job_once(int port) {
    if (!is_port(port) || told[port]) return;
    told[port] = true;
    show_unfinished_job(port);
}

void show_unfinished_job(int port) {
    std::array<char, kRecordSize> bytes;
    const long got = job_store_read(port, bytes.data(), bytes.size());
    const int error = errno;
    if (got == 0) return;
    char path[512];
    job_store_path(port, path, sizeof path);
    if (got == kRecordBusy) {
        std::printf("Job record %s not shown: a download on COM%d runs in another vqdnc\n", path,
                    port + 1);
        return;
    }
    if (got < 0) {
        std::printf("Job record %s ignored: %s\n", path, std::strerror(error));
        return;
    }
    JobRecord record;
    long format = 0;
    const SlotState state =
        newest_slot({bytes.data(), static_cast<std::size_t>(got)}, record, format);
    if (state == SlotState::newer) {
        std::printf("Job record %s ignored: it is from a newer vqdnc (format %ld)\n", path, format);
    } else if (state == SlotState::damaged || record.port != port) {
        std::printf("Job record %s ignored: it is torn or damaged\n", path);
    } else if (record.outcome != JobOutcome::done) {
        show_record(record, path);
    }
}
