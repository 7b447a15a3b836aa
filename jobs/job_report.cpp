// What a download's record tells the operator: the report of a download that
// ended early, the block a later start shows of a record left behind, the
// resume command both give, and the status list of every channel's record.
// Nothing is resumed by itself: the operator reads where the job stood and
// gives the resume command shown.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "control/regular_file.h"
#include "jobs/job_record.h"
#include "platform/device_map.h"
#include "platform/job_store.h"
#include "platform/serial_port.h"
#include "platform/shown_text.h"

namespace {

// "-f" and the name within the 199 characters of an option.
constexpr std::size_t kLongestName = 197;
std::array<bool, serial::kPortCount> told{};

void print_text(const RecordText& text) {
    print_shown(text.view());
    std::printf("%s", text.cut ? "..." : "");
}

// How the download ended, one wording for each way.
void print_why(const JobRecord& r) {
    static constexpr std::array<const char*, 12> kWhy = {
        "vqdnc ended in the middle of it (killed, crashed, or the PC went down)",
        "it ran to its end",
        "the operator pressed Ctrl-C",
        "the link was lost",
        "the controller sent an error or alarm before the first line",
        "the echo differed from what was sent",
        "the controller did not answer in time",
        "a line was left unfinished",
        "the file could not be read",
        "a signal ended vqdnc",
        "the file changed after vqdnc read it: nothing read after the change was sent",
        "a line has text after a NUL byte: it was not sent"};
    const bool after_prompt = r.refused == r.acknowledged;
    if (r.outcome != JobOutcome::refused || r.refused == 0) {
        std::printf("%s\n", kWhy[static_cast<std::size_t>(r.outcome)]);
        return;
    }
    std::printf(
        after_prompt ? "after the prompt for line %ld (" : "the controller answered line %ld (",
        r.refused);
    print_text(r.refused_text);
    std::printf(after_prompt ? ") the controller sent an error or alarm: it may have refused it\n"
                             : ") with an error or alarm\n");
}

// Where the download stood: the last line acknowledged, a line that went out
// without its prompt, a line that went out in part.
void print_standing(const JobRecord& r) {
    if (r.acknowledged > 0) {
        std::printf("  The controller acknowledged line %ld last (", r.acknowledged);
        print_text(r.acknowledged_text);
        std::printf(")\n");
    } else {
        std::printf("  The controller acknowledged none of its lines\n");
    }
    const char* may_have_run = "the controller may or may not have run it";
    if (r.unanswered > 0)
        std::printf("  Line %ld went out whole but its prompt did not come: %s\n", r.unanswered,
                    may_have_run);
    // A line sent is written down only with the next acknowledgement or the end.
    if (r.outcome == JobOutcome::running && r.unanswered == 0 && r.part_way == 0)
        std::printf("  The next line may have gone out whole without its prompt: %s\n",
                    may_have_run);
    if (r.part_way > 0)
        std::printf(
            "  Line %ld went out in part, without its end: the controller may hold the start of "
            "it\n",
            r.part_way);
}

// The name as one shell word: in single quotes, or where it holds a byte
// that cannot be typed as it is, in $'...' with that byte escaped.
void print_shell_word(std::string_view name) {
    std::array<char, 4 * sizeof(RecordText::bytes)> escaped;
    std::size_t used = 0;
    append_shown(name, escaped.data(), escaped.size(), used, true);
    const bool plain = std::string_view(escaped.data(), used) == name;
    std::printf(plain ? "'-f" : "$'-f");
    for (char c : plain ? name : std::string_view(escaped.data(), used))
        std::printf(c != '\'' ? "%c" : plain ? "'\\''" : "\\'", c);
    std::printf("'");
}

void print_time(long seconds) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    char text[32] = "?";
    if (localtime_r(&when, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::printf("%s", text);
}

// Whether the file is the one that was sent, by its checksum.
void print_file_now(const JobRecord& r) {
    const char* reason = nullptr;
    const int fd = open_regular_file(r.file.bytes.data(), reason);
    FileSurvey now;
    if (fd >= 0 && !survey_file(fd, now)) reason = std::strerror(errno);
    const std::uint32_t cksum = survey_cksum(now);
    if (fd >= 0) close(fd);
    if (reason != nullptr) {
        std::printf("  Its file cannot be read now: %s\n", reason);
    } else if (r.cksum < 0) {
        std::printf(
            "  Its checksum could not be taken then: whether the file changed since is not "
            "known\n");
    } else if (cksum == r.cksum) {
        std::printf("  The file is unchanged since (cksum %u)\n", cksum);
    } else {
        std::printf(
            "  The file has changed since (cksum %ld then, %u now): its lines may not be the "
            "ones that were sent\n",
            r.cksum, cksum);
    }
}

void print_block(const JobRecord& r) {
    std::array<char, kShownPathSize> device{};
    shown_device_path(static_cast<int>(r.channel - 1), device.data(), device.size());
    if (r.device.view() != device.data())
        std::printf(
            "COM%ld is %s now, not %s as when this download ran: check which machine it "
            "reaches\n",
            r.channel, device.data(), r.device.bytes.data());
    std::printf("Download on COM%ld not finished: '%s', started ", r.channel,
                shown<256>(r.file.view()).c_str());
    print_time(r.started);
    std::printf(", last noted ");
    print_time(r.updated);
    std::printf("\n  Why it stopped: ");
    print_why(r);
    print_standing(r);
    std::array<char, 64> boot{};
    boot_id(boot.data(), boot.size());
    if (r.outcome == JobOutcome::running && r.boot.view() != boot.data())
        std::printf(
            "  The PC has started again since: the last 3 seconds of the download may be missing "
            "from this record\n");
    print_file_now(r);
    print_resume_command(r);
}

// Reads channel `port`'s record. False when there is none, or when it is
// ignored: that is told, after `prefix`.
bool read_channel(int port, JobRecord& record, bool& running, const char* prefix) {
    std::array<char, 4096> bytes;
    const long got = job_store_read(port, bytes.data(), bytes.size(), running);
    const int error = errno;
    if (got == 0) return false;
    long format = 0;
    const RecordRead read =
        got < 0 ? RecordRead::damaged
                : read_record({bytes.data(), static_cast<std::size_t>(got)}, record, format);
    if (got > 0 && read == RecordRead::valid && record.channel == port + 1) return true;
    char path[512];
    job_store_path(port, path, sizeof path);
    std::printf(prefix, port + 1);
    std::printf("Job record %s ignored: ", path);
    if (got < 0) {
        std::printf("%s\n", std::strerror(error));
    } else if (read == RecordRead::other_format) {
        std::printf("it is from %s vqdnc (format %ld)\n",
                    format > kRecordFormat ? "a newer" : "an older", format);
    } else {
        std::printf("it is torn or damaged\n");
    }
    return false;
}

}  // namespace

long resume_line(const JobRecord& r) {
    if (r.refused > 0) return r.refused;
    return r.acknowledged > 0 ? r.acknowledged + 1 : r.first_line;
}

void print_resume_command(const JobRecord& r) {
    const std::string_view name = r.file.view();
    const long line = resume_line(r);
    if (name.size() > kLongestName) {
        std::printf(
            "  To resume: on COM%ld at %ld from line %ld - the file's name is too long to give "
            "with f\n",
            r.channel, r.rate, line);
        return;
    }
    // A console word ends at a blank, and a byte shown escaped cannot be typed.
    const bool console_word = shown_size(name) == name.size() && name.find(' ') == name.npos;
    std::printf("  To resume: ");
    if (console_word)
        std::printf("cCOM%ld b%ld r%ld f%s (options: ", r.channel, r.rate, line, name.data());
    std::printf("-cCOM%ld -b%ld -r%ld ", r.channel, r.rate, line);
    print_shell_word(name);
    std::printf(console_word ? ")\n"
                             : " as options (a name with a blank or a control character is no "
                               "console word)\n");
}

void report_early_end(const char* name) {
    std::printf("%sDownload of '%s' stopped: ", job.outcome == JobOutcome::stopped ? "\n" : "",
                shown(name).c_str());
    print_why(job);
    print_standing(job);
    print_resume_command(job);
}

void mark_channel_told(int port) {
    if (port >= 0 && port < serial::kPortCount) told[static_cast<std::size_t>(port)] = true;
}

void show_unfinished_job_once(int port) {
    if (port < 0 || port >= serial::kPortCount || told[static_cast<std::size_t>(port)]) return;
    told[static_cast<std::size_t>(port)] = true;
    show_unfinished_job(port);
}

void show_unfinished_job(int port) {
    JobRecord record;
    bool running = false;
    if (!read_channel(port, record, running, "") || record.outcome == JobOutcome::done) return;
    char path[512];
    job_store_path(port, path, sizeof path);
    if (running) {
        std::printf("Job record %s not shown: a download on COM%d runs in another vqdnc\n", path,
                    port + 1);
    } else {
        print_block(record);
    }
}

void print_job_status() {
    int shown_records = 0;
    for (int port = 0; port < serial::kPortCount; ++port) {
        JobRecord r;
        bool running = false;
        if (!read_channel(port, r, running, "COM%d: ") || r.outcome == JobOutcome::done) continue;
        ++shown_records;
        const bool cut_off = !running && r.outcome == JobOutcome::running;
        std::printf("COM%d %s '%s' on %s: line %ld of %ld acknowledged, since ", port + 1,
                    running   ? "running"
                    : cut_off ? "cut off"
                              : "stopped",
                    shown<256>(r.file.view()).c_str(), r.device.bytes.data(), r.acknowledged,
                    r.lines);
        print_time(r.started);
        if (running) {
            std::printf("\n");
        } else if (cut_off) {
            std::printf(" (killed, crashed, or the PC went down)\n");
        } else {
            std::printf(": ");
            print_why(r);
        }
    }
    if (shown_records == 0) std::printf("No download runs or stopped early on COM1 to COM13\n");
}
