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
#include "platform/job_store.h"
#include "platform/serial_port.h"
#include "platform/shown_text.h"

namespace {

// "-f" and the name within the 199 characters of an option.
constexpr std::size_t kLongestName = 197;
constexpr std::size_t kRecordSize = 4096;

std::array<bool, serial::kPortCount> told{};

bool is_port(int port) {
    return port >= 0 && port < serial::kPortCount;
}

void print_text(const LineText& text) {
    print_shown(text.view());
    std::printf("%s", text.cut ? "..." : "");
}

// How the download ended, one wording for each way, after "stopped: ".
void print_why(const JobRecord& r) {
    switch (r.outcome) {
        case JobOutcome::refused:
            if (r.refused == 0) {
                std::printf("the controller sent an error or alarm before the first line");
            } else {
                std::printf(r.refused == r.acknowledged ? "after the prompt for line %ld ("
                                                        : "the controller answered line %ld (",
                            r.refused);
                print_text(r.refused_text);
                std::printf(r.refused == r.acknowledged
                                ? ") the controller sent an error or alarm: it may have refused it"
                                : ") with an error or alarm");
            }
            break;
        case JobOutcome::running:
            std::printf("vqdnc ended in the middle of it (killed, crashed, or the PC went down)");
            break;
        default:
            static constexpr std::array<const char*, 10> kWhy = {
                "",
                "it ran to its end",
                "the operator pressed Ctrl-C",
                "the link was lost",
                "",
                "the echo differed from what was sent",
                "the controller did not answer in time",
                "a line was left unfinished",
                "the file could not be read",
                "a signal ended vqdnc"};
            std::printf("%s", kWhy[static_cast<std::size_t>(r.outcome)]);
    }
    std::printf("\n");
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
    if (r.unanswered > 0)
        std::printf(
            "  Line %ld went out whole but its prompt did not come: the controller may or may not "
            "have run it\n",
            r.unanswered);
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
}

// The name as one shell word: in single quotes, or where it holds a byte
// that cannot be typed as it is, in $'...' with that byte escaped.
void print_shell_word(std::string_view prefix, std::string_view name) {
    std::array<char, kShownPerByte * kRecordPathSize + 2> escaped;
    std::size_t used = 0;
    append_shown(name, escaped.data(), escaped.size(), used, true);
    const bool plain = std::string_view(escaped.data(), used) == name;
    std::printf(plain ? "'%.*s" : "$'%.*s", static_cast<int>(prefix.size()), prefix.data());
    for (char c : plain ? name : std::string_view(escaped.data(), used))
        std::printf(c != '\'' ? "%c" : plain ? "'\\''" : "\\'", c);
    std::printf("'");
}

void print_time(std::int64_t seconds) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    char text[32] = "?";
    if (localtime_r(&when, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::printf("%s", text);
}

void print_cksum_now(const JobRecord& r) {
    const char* reason = nullptr;
    const int fd = open_regular_file(r.file.data(), reason);
    FileSurvey now;
    if (fd >= 0 && !survey_file(fd, now)) reason = std::strerror(errno);
    if (fd >= 0) close(fd);
    if (fd < 0 || reason != nullptr) {
        std::printf("  Its file cannot be read now: %s\n", reason);
    } else if (r.cksum < 0) {
        std::printf("  Its checksum could not be taken then: whether the file changed since is not "
                    "known\n");
    } else if (now.cksum == r.cksum) {
        std::printf("  The file is unchanged since (cksum %u)\n", now.cksum);
    } else {
        std::printf(
            "  The file has changed since (cksum %lld then, %u now): its lines may not be the ones "
            "that were sent\n",
            static_cast<long long>(r.cksum), now.cksum);
    }
}

void print_block(const JobRecord& r) {
    std::array<char, kShownPathSize> device{};
    shown_device_path(r.port, device.data(), device.size());
    if (std::strcmp(device.data(), r.device.data()) != 0)
        std::printf("COM%d is %s now, not %s as when this download ran: check which machine it "
                    "reaches\n",
                    r.port + 1, device.data(), r.device.data());
    std::printf("Download on COM%d not finished: '%s', started ", r.port + 1,
                shown<kRecordPathSize>(r.file.data()).c_str());
    print_time(r.started);
    std::printf(", last noted ");
    print_time(r.updated);
    std::printf("\n  Why it stopped: ");
    print_why(r);
    print_standing(r);
    std::array<char, 40> boot{};
    boot_id(boot.data(), boot.size());
    if (r.outcome == JobOutcome::running && std::strcmp(boot.data(), r.boot.data()) != 0)
        std::printf(
            "  The PC has started again since: the last 3 seconds of the download may be missing "
            "from this record\n");
    print_cksum_now(r);
    print_resume_command(r);
}

// Reads channel `port`'s record. False when there is none, or when it is
// ignored: that is told, after `prefix`.
bool read_channel(int port, JobRecord& record, bool& running, const char* prefix) {
    std::array<char, kRecordSize> bytes;
    const long got = job_store_read(port, bytes.data(), bytes.size(), running);
    const int error = errno;
    if (got == 0) return false;
    char path[512];
    job_store_path(port, path, sizeof path);
    long format = 0;
    const RecordRead read =
        got < 0 ? RecordRead::damaged
                : read_record({bytes.data(), static_cast<std::size_t>(got)}, record, format);
    if (got > 0 && read == RecordRead::valid && record.port == port) return true;
    std::printf(prefix, port + 1);
    std::printf("Job record %s ignored: ", path);
    if (got < 0) {
        std::printf("%s\n", std::strerror(error));
    } else if (read == RecordRead::newer) {
        std::printf("it is from a newer vqdnc (format %ld)\n", format);
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
    const std::string_view name = r.file.data();
    const long line = resume_line(r);
    if (name.size() > kLongestName) {
        std::printf(
            "  To resume: on COM%d at %d from line %ld - the file's name is too long to give "
            "with f\n",
            r.port + 1, r.rate, line);
        return;
    }
    // A console word ends at a blank, and a byte shown escaped cannot be typed.
    const bool console_word =
        shown_size(name) == name.size() && name.find(' ') == std::string_view::npos;
    std::printf("  To resume: ");
    if (console_word)
        std::printf("cCOM%d b%d r%ld f%s (options: ", r.port + 1, r.rate, line, name.data());
    std::printf("-cCOM%d -b%d -r%ld ", r.port + 1, r.rate, line);
    print_shell_word("-f", name);
    std::printf(console_word ? ")\n"
                             : " as options (a name with a blank or a control character is no "
                               "console word)\n");
}

void report_early_end(const char* name) {
    std::printf(job.outcome == JobOutcome::stopped ? "\nDownload of '%s' stopped: "
                                                   : "Download of '%s' stopped: ",
                shown(name).c_str());
    print_why(job);
    print_standing(job);
    print_resume_command(job);
}

void mark_channel_told(int port) {
    if (is_port(port)) told[port] = true;
}

void show_unfinished_job_once(int port) {
    if (!is_port(port) || told[port]) return;
    told[port] = true;
    show_unfinished_job(port);
}

void show_unfinished_job(int port) {
    JobRecord record;
    bool running = false;
    if (!read_channel(port, record, running, "")) return;
    char path[512];
    job_store_path(port, path, sizeof path);
    if (running) {
        std::printf("Job record %s not shown: a download on COM%d runs in another vqdnc\n", path,
                    port + 1);
    } else if (record.outcome != JobOutcome::done) {
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
        std::printf("COM%d %s '%s' on %s: ", port + 1,
                    running ? "running" : cut_off ? "cut off" : "stopped",
                    shown<kRecordPathSize>(r.file.data()).c_str(), r.device.data());
        if (r.acknowledged > 0) std::printf("line %ld of %ld acknowledged", r.acknowledged, r.lines);
        if (r.acknowledged == 0) std::printf("no line of %ld acknowledged", r.lines);
        std::printf(", since ");
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
    if (shown_records == 0) std::printf("No download runs or stopped early on COM1 to COM%d\n",
                                        serial::kPortCount);
}
