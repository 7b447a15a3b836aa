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

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Longer than a record keeps of a line.
const std::string kFirstLine = "G1 X1 Y2 Z3 A4 B5 C6 U7 V8 W9 F100 S2000 M3";

class JobRecord : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::jobs = fake::JobPlatform{};
        settings = Settings{};
        setenv("TZ", "UTC", 1);
        use_file("part.nc", kFirstLine + "\nG2 X2\nG3 X3\n");
    }
    void use_file(const std::string& name, const std::string& text) {
        path_ = dir_.write(name, text);
        set_download_path(path_);
    }
    std::string download() {
        CaptureStdout();
        download_file();
        return GetCapturedStdout();
    }
    // The controller answers the first line, then is gone before the second's prompt.
    void download_cut_after_first_line() {
        fake::controller_sends(kFirstLine + "\nok\r\n-");
        fake::state.lost_at = 1;
        download();
    }
    std::string shown() {
        CaptureStdout();
        show_unfinished_job(0);
        return GetCapturedStdout();
    }
    // `text` with each @ standing for the file's path.
    std::string at_path(std::string text) {
        for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@'))
            text.replace(at, 1, path_);
        return text;
    }
    vqtest::TempDir dir_;
    std::string path_;
};

TEST_F(JobRecord, FinishedDownloadLeavesNoRecordAndLogsItsStartAndEnd) {
    use_file("part.nc", "G1 X1\n;c\nG2 X2\n");
    fake::controller_sends("G1 X1\nok\r\n-G2 X2\nok\r\n-", 1500);
    download();
    EXPECT_EQ(fake::jobs.records.count(0), 0u);
    const std::string job = "user=tester channel=COM1 device='fake1' rate=115200 file='" + path_ +
                            "' cksum=4097893368 size=15 first_line=1";
    EXPECT_EQ(fake::jobs.log,
              (std::vector<std::string>{"download started: " + job,
                                        "download ended: " + job +
                                            " outcome=done last_acknowledged=3 lines_sent=2 "
                                            "seconds=1.5"}));
    EXPECT_EQ(shown(), "");
}

// A download of ten lines whose prompts come a second apart is put on the
// disk three times, and not at its end: its record is deleted then.
TEST_F(JobRecord, PutOnTheDiskEveryFewSecondsNotForEachLine) {
    std::string file;
    for (int i = 1; i <= 10; ++i) {
        const std::string line = "G1 X" + std::to_string(i);
        file += line + "\n";
        fake::controller_sends(line + "\nok\r\n-", i * 1000);
    }
    use_file("part.nc", file);
    download();
    EXPECT_EQ(fake::jobs.syncs, 3);
}

struct ShownCase {
    const char* name;
    std::function<void(std::string& record, const std::string& path)> change;
    std::string shown;  // @ stands for the file's path
};

void PrintTo(const ShownCase& c, std::ostream* out) {
    *out << c.name;
}

class RecordShown : public JobRecord, public testing::WithParamInterface<ShownCase> {};

const std::string kBlockHead =
    "Download on COM1 not finished: '@', started 2023-11-14 22:13:20, last noted 2023-11-14 "
    "22:13:20\n";
const std::string kBlockLines =
    "  The controller acknowledged line 1 last (G1 X1 Y2 Z3 A4 B5 C6 U7 V8 W9 F100 S2000...)\n  "
    "Line 2 went out whole but its prompt "
    "did not come: the controller may or may not have run it\n";
const std::string kUnchanged =
    "  The file is unchanged since (cksum 1439936912)\n  To resume: r2 then f@ (options: -r2 "
    "-f@)\n";
// The older slot: written when the first line was acknowledged.
const std::string kEndedInside =
    kBlockHead +
    "  vqdnc ended in the middle of it (killed, crashed, or the PC went down)\n  The controller "
    "acknowledged line 1 last (G1 X1 Y2 Z3 A4 B5 C6 U7 V8 W9 F100 S2000...)\n  The next line "
    "may have gone out whole without its prompt: the controller may or may not have run it\n";

TEST_P(RecordShown, OnceTheLinkWasLostAfterTheFirstLine) {
    download_cut_after_first_line();
    GetParam().change(fake::jobs.records[0], path_);
    EXPECT_EQ(shown(), at_path(GetParam().shown));
}

// The final state is in the newer slot, the first.
INSTANTIATE_TEST_SUITE_P(
    Records, RecordShown,
    testing::Values(
        ShownCase{"AsLeft", [](std::string&, const std::string&) {},
                  kBlockHead + "  It stopped: the link was lost\n" + kBlockLines + kUnchanged},
        ShownCase{"FileChanged",
                  [](std::string&, const std::string& path) {
                      vqtest::write_file(path, kFirstLine + "\nG2 X2\nG3 X4\n");
                  },
                  kBlockHead + "  It stopped: the link was lost\n" + kBlockLines +
                      "  The file has changed since (cksum 1439936912 then, 1356396037 now): its "
                      "lines may not be the ones that were sent\n  To resume: r2 then f@ "
                      "(options: -r2 -f@)\n"},
        ShownCase{"FileMissing",
                  [](std::string&, const std::string& path) { unlink(path.c_str()); },
                  "Job record state/COM1.job ignored: its file '@' cannot be read: No such file "
                  "or directory\n"},
        ShownCase{"NewerSlotTorn", [](std::string& r, const std::string&) { r[30] ^= 1; },
                  kEndedInside + kUnchanged},
        ShownCase{"NewerSlotTornAfterARestart",
                  [](std::string& r, const std::string&) {
                      r[30] ^= 1;
                      fake::jobs.boot = "boot-2";
                  },
                  kEndedInside +
                      "  The PC has started again since: the last 3 seconds of the download may "
                      "be missing from this record\n" +
                      kUnchanged},
        ShownCase{"BothSlotsTorn",
                  [](std::string& r, const std::string&) {
                      r[30] ^= 1;
                      r[1054] ^= 1;
                  },
                  "Job record state/COM1.job ignored: it is torn or damaged\n"},
        ShownCase{"Short", [](std::string& r, const std::string&) { r.resize(200); },
                  "Job record state/COM1.job ignored: it is torn or damaged\n"},
        ShownCase{"NewerFormat", [](std::string& r, const std::string&) { r[17] = '2'; },
                  "Job record state/COM1.job ignored: it is from a newer vqdnc (format 2)\n"},
        ShownCase{"Unreadable",
                  [](std::string&, const std::string&) { fake::jobs.read_errno = EACCES; },
                  "Job record state/COM1.job ignored: Permission denied\n"},
        ShownCase{"InUse", [](std::string&, const std::string&) { fake::jobs.busy = true; },
                  "Job record state/COM1.job not shown: a download on COM1 runs in another "
                  "vqdnc\n"}),
    [](const testing::TestParamInfo<ShownCase>& info) { return std::string(info.param.name); });

// A resumed download that had no line acknowledged resumes where it started.
TEST_F(JobRecord, ResumedDownloadWithNoLineThroughResumesWhereItStarted) {
    settings.resume_line = 2;
    fake::state.lost_at = 0;
    download();
    EXPECT_NE(shown().find("none of its lines\n  The file is unchanged since (cksum 1439936912)\n "
                           " To resume: r2 then f"),
              std::string::npos);
}

// Typed as shown, the resume command names the file whole: quoted for a shell
// where a shell would split or expand it.
TEST_F(JobRecord, ResumeCommandForEveryKindOfName) {
    const std::string& dir = dir_.path();
    // A path one byte longer than a resume command can give.
    const std::string long_name(197 - dir.size(), 'x');
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"a$b.nc", "r2 then f@ (options: -r2 '-f@')"},
        {"it's.nc", "r2 then f@ (options: -r2 '-f" + dir + "/it'\\''s.nc')"},
        {"a b.nc", "-r2 '-f@' as options (a name with a blank is no console word)"},
        {long_name, "from line 2 - the file's name is too long to give with f"},
    };
    for (const auto& [name, resume] : rows) {
        use_file(name, kFirstLine + "\nG2 X2\nG3 X3\n");
        fake::reset();
        download_cut_after_first_line();
        const std::string block = shown();
        EXPECT_TRUE(block.ends_with(at_path("  To resume: " + resume + "\n"))) << block;
    }
}

TEST_F(JobRecord, SilenceEndsItAsATimeOut) {
    download();
    EXPECT_NE(fake::jobs.log.back().find(" outcome=time-out "), std::string::npos);
}

// A record that cannot be made is told once; one that can no longer be kept
// up to date is deleted, as it would tell a wrong place.
TEST_F(JobRecord, StoreThatFailsIsToldOnceAndTheDownloadGoesOn) {
    fake::jobs.fail_errno = EROFS;
    const std::string told =
        "No job record kept in state/COM1.job: Read-only file system - downloads go on without "
        "one\n";
    fake::controller_sends(kFirstLine + "\nok\r\n-G2 X2\nok\r\n-G3 X3\nok\r\n-");
    EXPECT_EQ(download(), told + "\n-" + kFirstLine + "\nok\r-G2 X2\nok\r-G3 X3\nok\r-");
    fake::jobs.fail_errno = 0;
    fake::jobs.writes_until_failure = 3;
    download_cut_after_first_line();
    EXPECT_EQ(fake::jobs.records.count(0), 0u);
    EXPECT_EQ(fake::jobs.log.size(), 4u);
}

// A slot is read only when it is whole: every field once, with a value of
// its kind, under a seal that matches its bytes.
TEST(RecordSlot, EveryFieldOnceUnderItsSeal) {
    const std::string fields =
        "vqdnc job record 1\nchannel COM2\ndevice d\nrate 9600\nfile /p\nsize 3\ncksum 7\nboot "
        "b\nstarted 5\nfirst 1\n\nsequence 4\noutcome stopped\nacknowledged 2\ntext G1\nunanswered "
        "0\npart-way 3\nupdated 6000\n";
    auto seal_of = [](const std::string& text) {
        char seal[kSealSize];
        format_seal(seal_hash(kSealStart, text), seal);
        return std::string(seal);
    };
    ::JobRecord record;
    auto read = [&record](const std::string& slot) {
        long format = 0;
        return parse_record_slot(slot, record, format);
    };
    ASSERT_EQ(read(fields + seal_of(fields)), SlotState::valid);
    const std::vector<std::pair<std::string, std::string>> changes = {
        {"rate 9600\n", "rate 9600\nrate 9600\n"},
        {"rate 9600\n", ""},
        {"rate 9600\n", "rate 9600\nspeed 1\n"},
        {"rate 9600", "rate -1"},
        {"rate 9600", "rate 96x"},
        {"rate 9600", "rate"},
        {"COM2", "COM14"},
        {"COM2", "COM0"},
        {"stopped", "lost"},
        {"text G1", "text G1\x1b"},
        {"size 3", "size 99999999999999999999"},
    };
    for (const auto& [from, to] : changes) {
        std::string changed = fields;
        changed.replace(changed.find(from), from.size(), to);
        EXPECT_EQ(read(changed + seal_of(changed)), SlotState::damaged) << changed;
    }
    // A byte changed under the seal of what was there, in a whole word of the
    // hash or in its last part.
    const std::vector<std::pair<std::string, std::string>> unsealed = {{"first 1", "first 2"},
                                                                       {"6000", "6001"}};
    for (const auto& [from, to] : unsealed) {
        std::string changed = fields;
        changed.replace(changed.find(from), from.size(), to);
        EXPECT_EQ(read(changed + seal_of(fields)), SlotState::damaged) << changed;
    }
}

}  // namespace
