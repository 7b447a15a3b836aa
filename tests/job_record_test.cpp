// Job history and recovery on the stand-ins: the one record a download keeps,
// its early end's report and the block a later start shows of it, which
// must agree, and the system log's lines.
#include "jobs/job_record.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

#include "control/settings.h"
#include "jobs/download.h"
#include "link/link.h"
#include "tests/fakes/fake_job_store.h"
#include "tests/fakes/fake_platform.h"
#include "tests/harness.h"

namespace {

// Longer than a record keeps of a line.
const std::string kFirstLine = "G1 X1 Y2 Z3 A4 B5 C6 U7 V8 W9 F100 S2000 M3";
const std::string kFile = kFirstLine + "\nG2 X2\nG3 X3\n";
const std::string kFirstText = "G1 X1 Y2 Z3 A4 B5 C6 U7 V8 W9 F100 S2000...";
const std::string kMayHaveRun = "the controller may or may not have run it\n";

std::string captured(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

// Every @ in `text` stands for `path`.
std::string with_path(std::string text, const std::string& path) {
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at))
        text.replace(at, 1, path);
    return text;
}

class JobRecord : public testing::Test {
protected:
    void SetUp() override { start_over("part.nc", kFile); }
    // A new file, no record and no controller bytes yet.
    void start_over(const std::string& name, const std::string& text) {
        fake::reset();
        fake::jobs = fake::JobPlatform{};
        settings = Settings{};
        setenv("TZ", "UTC", 1);
        open_link();
        path_ = dir_.write(name, text);
        set_download_path(path_);
    }
    std::string download() { return captured(download_file); }
    // The controller answers the first line 3 s on, then is gone before the second's prompt.
    std::string download_cut_after_first_line() {
        fake::controller_sends(kFirstLine + "\nok\r\n-", 3000);
        fake::state.lost_at = 3001;
        return download();
    }
    std::string shown() {
        return captured([] { show_unfinished_job(0); });
    }
    vqtest::TempDir dir_;
    std::string path_;
};

const std::string kHead =
    "Download on COM1 not finished: '@', started 2023-11-14 22:13:20, last noted 2023-11-14 ";
const std::string kAcknowledgedFirst =
    "  The controller acknowledged line 1 last (" + kFirstText + ")\n";
const std::string kUnchanged = "  The file is unchanged since (cksum 1439936912)\n";
std::string resume(int line) {
    const std::string n = std::to_string(line);
    return "  To resume: cCOM1 b115200 r" + n + " f@ (options: -cCOM1 -b115200 -r" + n +
           " '-f@')\n";
}

// Replaces `from` with `to` in the newer slot of COM1's record and seals it
// again, as a program that wrote it so would.
void rewrite_record(const std::string& from, const std::string& to) {
    std::string& record = fake::jobs.records[0];
    std::string slot = record.substr(0, record.find("\nseal ") + 1);
    slot.replace(slot.find(from), from.size(), to);
    char seal[16];
    std::snprintf(seal, sizeof seal, "seal %08x\n", crc_update(0, slot));
    record.replace(0, slot.size() + 14, slot + seal);
}

// Each way a download ends, as its report tells it, as the record tells it
// to the next start, in the log and in the resume command. Both reports read
// the one record, so they agree line for line.
TEST_F(JobRecord, EachOutcomeReportedAlikeAtTheEndAndFromTheRecord) {
    const std::string first_echo = kFirstLine + "\nok\r\n-";
    struct Row {
        std::function<void()> controller;
        std::string why;       // after "stopped: "
        std::string standing;  // the lines after it
        int resume;
        std::string word;  // in the log
    };
    const std::vector<Row> rows = {
        {[&] {
             fake::controller_sends(first_echo, 3000);
             fake::state.lost_at = 3001;
         },
         "the link was lost",
         kAcknowledgedFirst + "  Line 2 went out whole but its prompt did not come: " + kMayHaveRun,
         2, "link-lost"},
        {nullptr, "the controller did not answer in time",
         "  The controller acknowledged none of its lines\n  Line 1 went out whole but its "
         "prompt did not come: " +
             kMayHaveRun,
         1, "time-out"},
        {[&] { fake::controller_sends(first_echo + "G2 X2\nERROR 5\r\n-", 3000); },
         "the controller answered line 2 (G2 X2) with an error or alarm", kAcknowledgedFirst, 2,
         "controller-error"},
        {[&] {
             fake::controller_sends(first_echo + "\r\nALARM 3\r\n", 3000);
             fake::state.unasked = 11;
         },
         "after the prompt for line 1 (" + kFirstText +
             ") the controller sent an error or alarm: it may have refused it",
         kAcknowledgedFirst, 1, "controller-error"},
        {[&] { fake::controller_sends(first_echo + "G2 X3", 3000); },
         "the echo differed from what was sent",
         kAcknowledgedFirst + "  Line 2 went out whole but its prompt did not come: " + kMayHaveRun,
         2, "echo-differed"},
        {[] { fake::state.takes = 10; }, "a line was left unfinished",
         "  The controller acknowledged none of its lines\n  Line 1 went out in part, without "
         "its end: the controller may hold the start of it\n",
         1, "unfinished-line"},
    };
    for (const Row& row : rows) {
        start_over("part.nc", kFile);
        if (row.controller) row.controller();
        const std::string report = download();
        const std::string told = with_path(row.standing + resume(row.resume), path_);
        EXPECT_NE(report.find("Download of '" + path_ + "' stopped: " + row.why + "\n" + told),
                  std::string::npos)
            << report;
        const std::string block = shown();
        EXPECT_NE(block.find("\n  Why it stopped: " + row.why + "\n" + row.standing + kUnchanged +
                             with_path(resume(row.resume), path_)),
                  std::string::npos)
            << block;
        EXPECT_NE(fake::jobs.log.back().find(" outcome=" + row.word + " "), std::string::npos)
            << fake::jobs.log.back();
    }
}

// The record's last write before the end: what a killed program leaves, or a
// power cut that tore the newer slot.
TEST_F(JobRecord, OlderSlotTellsWhereAKilledDownloadStood) {
    download_cut_after_first_line();
    fake::jobs.records[0][30] ^= 1;
    const std::string ended =
        kHead +
        "22:13:23\n  Why it stopped: vqdnc ended in the middle of it (killed, crashed, "
        "or the PC went down)\n" +
        kAcknowledgedFirst +
        "  The next line may have gone out whole without its prompt: " + kMayHaveRun;
    EXPECT_EQ(shown(), with_path(ended + kUnchanged + resume(2), path_));
    fake::jobs.boot = "boot-2";
    EXPECT_EQ(shown(), with_path(ended +
                                     "  The PC has started again since: the last 3 seconds of "
                                     "the download may be missing from this record\n" +
                                     kUnchanged + resume(2),
                                 path_));
}

// Prompts a second apart: the record is put on the disk every few seconds,
// not for each line nor at the end, as it is deleted then.
TEST_F(JobRecord, FinishedDownloadLeavesNoRecordAndLogsItsStartAndEnd) {
    std::string file =
        ";" + std::string(299, 'c') + "\n";  // cksum(1) takes its length in two bytes
    for (int i = 1; i <= 10; ++i) {
        const std::string line = "G1 X" + std::to_string(i);
        file += line + "\n";
        fake::controller_sends(line + "\nok\r\n-", i * 1000 + 500);
    }
    dir_.write("part.nc", file);
    download();
    EXPECT_EQ(fake::jobs.syncs, 3);
    EXPECT_EQ(fake::jobs.records.count(0), 0u);
    const std::string job = "user=tester channel=COM1 device='fake1' rate=115200 file='" + path_ +
                            "' cksum=2411138976 size=362 first_line=1";
    EXPECT_EQ(fake::jobs.log,
              (std::vector<std::string>{"download started: " + job,
                                        "download ended: " + job +
                                            " outcome=done last_acknowledged=11 lines_sent=10 "
                                            "seconds=10.5"}));
}

// Names and line texts keep every byte in the record, shown escaped; the
// resume command gives the name to a shell as one word, and to the console
// only where it is one.
TEST_F(JobRecord, NameAndTextOfAnyBytesComeBackExactly) {
    // A path one byte longer than a resume command can give.
    const std::string long_name(197 - dir_.path().size(), 'x');
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"it's.nc", "cCOM1 b115200 r2 f@/it's.nc (options: -cCOM1 -b115200 -r2 '-f@/it'\\''s.nc')"},
        {"a b\t\x1b\\.nc",
         "-cCOM1 -b115200 -r2 $'-f@/a b\\t\\x1B\\\\.nc' as options (a name with a blank or a "
         "control character is no console word)"},
        {long_name, "on COM1 at 115200 from line 2 - the file's name is too long to give with f"},
    };
    for (const auto& [name, command] : rows) {
        start_over(name, "G01\tX2\x7f\\\nG2\n");
        fake::controller_sends("G01\tX2\x7f\\\nok\r\n-", 3000);
        fake::state.lost_at = 3001;
        download();
        const std::string block = shown();
        EXPECT_NE(block.find("acknowledged line 1 last (G01\\tX2\\x7F\\)"), std::string::npos);
        EXPECT_NE(block.find("  To resume: " + with_path(command, dir_.path()) + "\n"),
                  std::string::npos)
            << block;
    }
    EXPECT_NE(shown().find("not finished: '" + dir_.path() + "/" + long_name + "'"),
              std::string::npos);
}

// What a start tells of a record that cannot be trusted (in one line, then
// ignored), of one whose download runs in another program (nothing), and of
// the file as it is now: changed, gone, or of a checksum never taken.
TEST_F(JobRecord, WhatAStartTellsOfTheRecordAndItsFileNow) {
    const std::string ignored = "Job record state/COM1.job ignored: ";
    const std::vector<std::pair<std::function<void()>, std::string>> rows = {
        {[] { fake::jobs.records[0].resize(200); }, ignored + "it is torn or damaged\n"},
        {[] { fake::jobs.records[0][17] = '3'; },
         ignored + "it is from a newer vqdnc (format 3)\n"},
        {[] { fake::jobs.records[0][17] = '1'; },
         ignored + "it is from an older vqdnc (format 1)\n"},
        {[] { fake::jobs.fail_errno = EACCES; }, ignored + "Permission denied\n"},
        {[] { fake::jobs.fail_errno = EWOULDBLOCK; },
         "Job record state/COM1.job not shown: a download on COM1 runs in another vqdnc\n"},
        {[&] { vqtest::write_file(path_, kFirstLine + "\nG2 X2\nG3 X4\n"); },
         "  The file has changed since (cksum 1439936912 then, 1356396037 now): its lines may "
         "not be the ones that were sent\n" +
             with_path(resume(2), path_)},
        {[&] { unlink(path_.c_str()); },
         "  Its file cannot be read now: No such file or directory\n" +
             with_path(resume(2), path_)},
        {[] { rewrite_record("cksum 1439936912", "cksum -1"); },
         "  Its checksum could not be taken then: whether the file changed since is not known\n" +
             with_path(resume(2), path_)},
    };
    for (const auto& [change, told] : rows) {
        start_over("part.nc", kFile);
        download_cut_after_first_line();
        change();
        const std::string block = shown();
        EXPECT_TRUE(block.ends_with(told)) << block;
    }
}

// A record that can no longer be kept up to date would tell a wrong place: it
// is given up in one line, once a run, and the download goes on to its end.
TEST_F(JobRecord, RecordThatCannotBeWrittenIsGivenUpAndTheDownloadGoesOn) {
    fake::jobs.writes_until_failure = 3;
    fake::controller_sends(kFirstLine + "\nok\r\n-G2 X2\nok\r\n-G3 X3\nok\r\n-");
    EXPECT_NE(download().find("No job record kept in state/COM1.job: Input/output error - "
                              "downloads go on without one\n"),
              std::string::npos);
    EXPECT_EQ(fake::state.sent, kFile);
    EXPECT_EQ(fake::jobs.records.count(0), 0u);
}

// A log that takes no more lines is told once; the downloads go on.
TEST_F(JobRecord, LogThatTakesNothingIsToldOnceAndHoldsNothing) {
    fake::jobs.log_result = LogResult::dropped;
    fake::controller_sends(kFirstLine + "\nok\r\n-G2 X2\nok\r\n-G3 X3\nok\r\n-");
    const std::string first = download();
    EXPECT_EQ(
        first.find("The system log takes no lines now: this download's history misses them\n"), 0u);
    EXPECT_EQ(fake::state.sent, kFile);
    fake::controller_sends(kFirstLine + "\nok\r\n-G2 X2\nok\r\n-G3 X3\nok\r\n-");
    EXPECT_EQ(download().find("system log"), std::string::npos);
}

}  // namespace
