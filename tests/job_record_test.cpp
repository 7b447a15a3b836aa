// Job history and recovery on the stand-ins: the record a download keeps, what
// a later start shows of it, and the system log's lines.
#include "jobs/job_record.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "control/settings.h"
#include "jobs/download.h"
#include "jobs/record_format.h"
#include "tests/fakes/fake_job_store.h"
#include "tests/fakes/fake_platform.h"
#include "tests/harness.h"

namespace {

// Longer than a record keeps of a line.
const std::string kFirstLine = "G1 X1 Y2 Z3 A4 B5 C6 U7 V8 W9 F100 S2000 M3";

std::string captured(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

class JobRecord : public testing::Test {
protected:
    void SetUp() override { start_over("part.nc", kFirstLine + "\nG2 X2\nG3 X3\n"); }
    // A new file, no record and no controller bytes yet.
    void start_over(const std::string& name, const std::string& text) {
        fake::reset();
        fake::jobs = fake::JobPlatform{};
        settings = Settings{};
        setenv("TZ", "UTC", 1);
        path_ = dir_.write(name, text);
        set_download_path(path_);
    }
    std::string download() { return captured(download_file); }
    // The controller answers the first line 3 s on, then is gone before the second's prompt.
    void download_cut_after_first_line() {
        fake::controller_sends(kFirstLine + "\nok\r\n-", 3000);
        fake::state.lost_at = 3001;
        download();
    }
    // What a start shows of the record, each @ in `expected` standing for the file's path.
    void expect_shown(std::string expected) {
        for (std::size_t at = expected.find('@'); at != std::string::npos; at = expected.find('@'))
            expected.replace(at, 1, path_);
        EXPECT_EQ(captured([] { show_unfinished_job(0); }), expected);
    }
    vqtest::TempDir dir_;
    std::string path_;
};

// Prompts a second apart: the record is put on the disk every few seconds,
// not for each line nor at the end, as it is deleted then.
TEST_F(JobRecord, FinishedDownloadLeavesNoRecordAndLogsItsStartAndEnd) {
    std::string file = ";c\n";
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
                            "' cksum=1626098960 size=64 first_line=1";
    EXPECT_EQ(fake::jobs.log,
              (std::vector<std::string>{"download started: " + job,
                                        "download ended: " + job +
                                            " outcome=done last_acknowledged=11 lines_sent=10 "
                                            "seconds=10.5"}));
}

const std::string kHead =
    "Download on COM1 not finished: '@', started 2023-11-14 22:13:20, last noted 2023-11-14 ";
const std::string kFirstAcknowledged =
    "  The controller acknowledged line 1 last (G1 X1 Y2 Z3 A4 B5 C6 U7 V8 W9 F100 S2000...)\n";
const std::string kMayHaveRun = "the controller may or may not have run it\n";
const std::string kUnanswered =
    "  Line 2 went out whole but its prompt did not come: " + kMayHaveRun;
const std::string kUnchanged = "  The file is unchanged since (cksum 1439936912)\n";
const std::string kLinkLost =
    kHead + "22:13:23\n  It stopped: the link was lost\n" + kFirstAcknowledged + kUnanswered;
const std::string kResume = "  To resume: r2 then f@ (options: -r2 -f@)\n";
// The older slot: written when the first line was acknowledged.
const std::string kEndedInside =
    kHead + "22:13:23\n  vqdnc ended in the middle of it (killed, crashed, or the PC went down)\n" +
    kFirstAcknowledged +
    "  The next line may have gone out whole without its prompt: " + kMayHaveRun;
const std::string kIgnored = "Job record state/COM1.job ignored: ";

// The final state is in the newer slot, the first. Typed as shown, the resume
// command names the file whole: quoted for a shell where a shell would split
// or expand it.
TEST_F(JobRecord, RecordOfADownloadCutAfterTheFirstLine) {
    struct Row {
        std::function<void()> change;
        std::string shown;
        std::string file = "part.nc";
    };
    // A path one byte longer than a resume command can give.
    const std::string long_name(197 - dir_.path().size(), 'x');
    auto resumed = [](const std::string& how) {
        return kLinkLost + kUnchanged + "  To resume: " + how + "\n";
    };
    const std::vector<Row> rows = {
        {[&] { vqtest::write_file(path_, kFirstLine + "\nG2 X2\nG3 X4\n"); },
         kLinkLost +
             "  The file has changed since (cksum 1439936912 then, 1356396037 now): its lines may "
             "not be the ones that were sent\n" +
             kResume},
        {[&] { unlink(path_.c_str()); },
         kIgnored + "its file '@' cannot be read: No such file or directory\n"},
        {[] { fake::jobs.records[0][30] ^= 1; }, kEndedInside + kUnchanged + kResume},
        {[] {
             fake::jobs.records[0][30] ^= 1;
             fake::jobs.boot = "boot-2";
         },
         kEndedInside +
             "  The PC has started again since: the last 3 seconds of the download may be "
             "missing from this record\n" +
             kUnchanged + kResume},
        {[] { fake::jobs.records[0].resize(200); }, kIgnored + "it is torn or damaged\n"},
        {[] { fake::jobs.records[0][17] = '2'; },
         kIgnored + "it is from a newer vqdnc (format 2)\n"},
        {[] { fake::jobs.fail_errno = EACCES; }, kIgnored + "Permission denied\n"},
        {[] { fake::jobs.fail_errno = EWOULDBLOCK; },
         "Job record state/COM1.job not shown: a download on COM1 runs in another vqdnc\n"},
        {nullptr, resumed("r2 then f@ (options: -r2 '-f" + dir_.path() + "/it'\\''s.nc')"),
         "it's.nc"},
        {nullptr, resumed("-r2 '-f@' as options (a name with a blank is no console word)"),
         "a b.nc"},
        {nullptr, resumed("from line 2 - the file's name is too long to give with f"), long_name},
    };
    for (const Row& row : rows) {
        start_over(row.file, kFirstLine + "\nG2 X2\nG3 X3\n");
        download_cut_after_first_line();
        if (row.change) row.change();
        expect_shown(row.shown);
    }
}

// A resumed download with no line acknowledged resumes where it started; a
// silent controller ends it as a time-out.
TEST_F(JobRecord, SilenceOnAResumedDownload) {
    settings.resume_line = 2;
    download();
    EXPECT_NE(fake::jobs.log.back().find(" outcome=time-out "), std::string::npos);
    expect_shown(kHead +
                 "22:30:00\n  It stopped: the controller did not answer in time\n  The controller "
                 "acknowledged none of its lines\n" +
                 kUnanswered + kUnchanged + kResume);
}

// A record that can no longer be kept up to date is deleted, as it would tell
// a wrong place; the download goes on to its end.
TEST_F(JobRecord, RecordThatCannotBeKeptUpToDateIsDeleted) {
    fake::jobs.writes_until_failure = 3;
    download_cut_after_first_line();
    EXPECT_EQ(fake::jobs.records.count(0), 0u);
    EXPECT_EQ(fake::jobs.log.size(), 2u);
}

// A slot is read only when it is whole: every field once, with a value of
// its kind, under a seal that matches its bytes.
TEST(RecordSlot, EveryFieldOnceUnderItsSeal) {
    const std::string fields =
        "vqdnc job record 1\nchannel COM2\ndevice d\nrate 9600\nfile /p\nsize 3\ncksum 7\nboot "
        "b\nstarted 5\nfirst 1\n\nsequence 4\noutcome stopped\nacknowledged 2\ntext G1\nunanswered "
        "0\npart-way 3\nupdated 6000\n";
    // `text` under its seal, or under the seal of `sealed`.
    auto read = [](const std::string& text, const std::string& sealed = "") {
        char seal[kSealSize];
        format_seal(seal_hash(kSealStart, sealed.empty() ? text : sealed), seal);
        ::JobRecord record;
        long format = 0;
        return parse_record_slot(text + seal, record, format);
    };
    // The slot with `line` in place of the field it names, or added when none is named so.
    auto with = [&fields](const std::string& line) {
        std::string text = fields;
        const std::size_t at = text.find("\n" + line.substr(0, line.find(' ')) + " ") + 1;
        return at == 0 ? text + line + "\n" : text.replace(at, text.find('\n', at) - at, line);
    };
    ASSERT_EQ(read(fields), SlotState::valid);
    for (const char* line :
         {"rate 9600\nrate 9600", "rate", "rate 96x", "channel COM14", "channel COM0",
          "outcome lost", "text G1\x1b", "size 99999999999999999999", "speed 1"})
        EXPECT_EQ(read(with(line)), SlotState::damaged) << line;
    EXPECT_EQ(read(fields.substr(0, fields.find("updated"))), SlotState::damaged);
    // A byte changed under the seal of what was there, in a whole word of the
    // hash or in its last part.
    EXPECT_EQ(read(with("first 2"), fields), SlotState::damaged);
    EXPECT_EQ(read(with("updated 6001"), fields), SlotState::damaged);
}

}  // namespace
