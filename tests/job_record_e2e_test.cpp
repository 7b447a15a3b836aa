// Job history and recovery end to end: vqdnc killed in the middle of a
// download, a state directory that cannot be written, a record on another
// channel.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <string>

#include "harness.h"
#include "screens.h"

namespace {

using vqtest::Env;
using vqtest::Rig;

// After SIGKILL the next start shows, before it sends anything, where the
// download stood; its resume command sends exactly the lines from the first
// one not acknowledged, and the finished download leaves no record.
TEST(JobRecordEndToEnd, KilledMidDownloadTheResumeShownSendsTheRest) {
    Rig rig({"--byte-delay-us", "1000"});
    ASSERT_TRUE(rig.sim.ready());
    std::string part;
    for (int i = 1; i <= 120; ++i)
        part += "G01 X" + std::to_string(i) + "\n";
    const std::string path = rig.dir.write("part.nc", part);
    const Env state = {{"XDG_STATE_HOME", rig.dir.file("state")}};
    auto killed = rig.start({"-fpart.nc"}, state);
    ASSERT_TRUE(rig.sim.wait_log("G01 X21\n"));
    killed->signal(SIGKILL);
    killed->finish();
    // The controller ends its answer to the line in flight, which nobody reads;
    // coming during the next line's echo it would stop that download.
    usleep(200'000);
    const std::string before = rig.sim.log();
    struct stat record {};
    ASSERT_EQ(stat(rig.dir.file("state/vqdnc/COM1.job").c_str(), &record), 0);
    EXPECT_EQ(record.st_mode & 0777, 0600u);

    auto next = rig.start({}, state);
    ASSERT_TRUE(next->expect("Download on COM1 not finished: '" + path + "'"));
    ASSERT_TRUE(next->expect(")\n\n-"));
    EXPECT_EQ(rig.sim.log(), before);
    const std::string& shown = next->output();
    const std::size_t from = shown.rfind("To resume: ") + 11;
    const std::string command = shown.substr(from, shown.rfind(" (options") - from);
    const long line = std::stol(command.substr(command.find(" r") + 2));
    ASSERT_TRUE(next->send(command + "\ne\n"));
    EXPECT_EQ(next->finish().exit_status, 1);
    ASSERT_GE(line, 20);
    const std::size_t rest = part.find("G01 X" + std::to_string(line) + "\n");
    EXPECT_EQ(rig.sim.log().substr(before.size()), part.substr(rest));
    EXPECT_TRUE(before.starts_with(part.substr(0, rest)));
    EXPECT_FALSE(vqtest::path_exists(rig.dir.file("state/vqdnc/COM1.job")));
}

// A store that cannot be used is told, the making of a record once a run,
// and the downloads go on.
TEST(JobRecordEndToEnd, StoreThatCannotBeUsedIsToldAndTheDownloadsGoOn) {
    Rig rig;
    const std::string file = rig.dir.write("part.nc", "G21\n");
    const std::string in_dir = rig.dir.file("dir/vqdnc/COM1.job");
    ASSERT_EQ(system(("mkdir -p " + in_dir).c_str()), 0);
    // A record path of 1024 characters, one more than a path may have.
    std::string deep = rig.dir.path();
    while (deep.size() < 1009)
        deep += "/" + std::string(std::min<std::size_t>(200, 1008 - deep.size()), 'x');
    const std::string not_kept = "No job record kept in ";
    const std::string goes_on = " - downloads go on without one\n";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {file, not_kept + file + "/vqdnc/COM1.job: Not a directory" + goes_on},
        {rig.dir.file("dir"), "Job record " + in_dir + " ignored: Is a directory\n" + not_kept +
                                  in_dir + ": Is a directory" + goes_on},
        {deep, "Job record (no state directory) ignored: File name too long\n" + not_kept +
                   "(no state directory): File name too long" + goes_on},
        // A folder that cannot be made says why, not that the record is missing.
        {"/sys/vqtest", not_kept + "/sys/vqtest/vqdnc/COM1.job: Operation not permitted" + goes_on},
    };
    for (const auto& [state_home, told] : rows) {
        auto result = rig.run({"-fpart.nc", "-fpart.nc"}, "", {{"XDG_STATE_HOME", state_home}});
        EXPECT_EQ(result.output, vqtest::kBanner + told + "\n-G21\nok-\n-G21\nok-");
    }
    EXPECT_EQ(rig.sim.log(), "G21\nG21\nG21\nG21\nG21\nG21\nG21\nG21\n");
}

// A record on COM2 is shown when the console first selects COM2, not again.
TEST(JobRecordEndToEnd, RecordOfAnotherChannelIsShownWhenItIsFirstSelected) {
    Rig rig;
    vqtest::Sim com2({"--hangup-after-bytes", "6"}, "com2");
    rig.dir.write("part.nc", "G21\nG00 Z5\n");
    // Without XDG_STATE_HOME (an empty one is ignored) the record is kept under HOME.
    const Env env = {{"VQDNC_COM2", com2.link()}, {"XDG_STATE_HOME", ""}, {"HOME", rig.dir.path()}};
    rig.run({"-cCOM2", "-fpart.nc"}, "", env);
    const std::string shown = rig.run({}, "cCOM2 cCOM1 cCOM2\n", env).output;
    const std::size_t block = shown.find("Download on COM2 not finished: ");
    EXPECT_LT(shown.find("Com channel set to COM2"), block);
    EXPECT_NE(
        shown.find("  Why it stopped: the link was lost\n  The controller acknowledged line 1"),
        std::string::npos);
    EXPECT_EQ(shown.find("Download on", block + 1), std::string::npos) << shown;
    EXPECT_TRUE(vqtest::path_exists(rig.dir.file(".local/state/vqdnc/COM2.job")));
}

// Lines "G01 X1" to "G01 X<count>".
std::string numbered_lines(int count) {
    std::string part;
    for (int i = 1; i <= count; ++i)
        part += "G01 X" + std::to_string(i) + "\n";
    return part;
}

// A COM2 job at 38400, stopped by a lost link: its resume command, typed in a
// shell as shown, sends the rest to COM2 at 38400 and nothing to COM1, for a
// name with a blank, quotes and a tab.
TEST(JobRecordEndToEnd, ResumeCommandTypedAsShownReachesTheSameChannelAndRate) {
    Rig rig;
    vqtest::Sim cut({"--hangup-after", "2"}, "com2");
    const std::string name = "job 'A'\t1.nc";
    const std::string part = numbered_lines(5);
    rig.dir.write(name, part);
    const Env state = {{"XDG_STATE_HOME", rig.dir.file("state")}};
    Env com2 = state;
    com2["VQDNC_COM2"] = cut.link();
    const std::string shown = rig.run({"-cCOM2", "-b38400", "-f" + name}, "", com2).output;
    const std::size_t from = shown.find("To resume: ") + 11;
    const std::string command = shown.substr(from, shown.find(" as options") - from);
    EXPECT_EQ(command, "-cCOM2 -b38400 -r3 $'-f" + rig.dir.path() + "/job \\'A\\'\\t1.nc'");

    vqtest::Sim again({"--report-rate"}, "com2");
    com2["VQDNC_COM2"] = again.link();
    const auto resumed = vqtest::run_program(
        "/bin/bash", {"-c", "exec \"$0\" " + command, vqtest::vqdnc_path()}, "", rig.env(com2));
    EXPECT_EQ(resumed.exit_status, 1) << resumed.output;
    EXPECT_EQ(again.log(), part.substr(part.find("G01 X3")));
    EXPECT_EQ(rig.sim.log(), "");
    again.stop();
    EXPECT_EQ(again.output(),
              "vqsim: ready on " + again.device() + "\nvqsim: bytes at 38400 baud\n");
}

// What runs where: one line for each channel's record, a job running now, one
// stopped and one whose program was killed. Then another program shortens and
// removes the running job's record: the download goes on to its end, and the
// loss of the record is told once.
TEST(JobRecordEndToEnd, StatusTellsEachChannelsJobAndARecordRemovedCostsOnlyItself) {
    Rig rig({"--byte-delay-us", "2000"});
    vqtest::Sim stops({"--hangup-after", "1"}, "com2");
    vqtest::Sim killed({"--byte-delay-us", "2000"}, "com3");
    const std::string part = numbered_lines(300);
    const std::string path = rig.dir.write("part.nc", part);
    const Env env = {{"XDG_STATE_HOME", rig.dir.file("state")},
                     {"VQDNC_COM2", stops.link()},
                     {"VQDNC_COM3", killed.link()}};
    rig.run({"-cCOM2", "-fpart.nc"}, "", env);
    auto cut_off = rig.start({"-cCOM3", "-fpart.nc"}, env);
    ASSERT_TRUE(killed.wait_log("G01 X3\n"));
    cut_off->signal(SIGKILL);
    cut_off->finish();
    auto running = rig.start({"-fpart.nc"}, env);
    ASSERT_TRUE(rig.sim.wait_log("G01 X3\n"));

    const vqtest::RunResult status = rig.run({"--status"}, "", env);
    EXPECT_EQ(status.exit_status, 0);
    const std::string since = ": line [0-9]+ of 300 acknowledged, since [0-9-]+ [0-9:]+";
    EXPECT_TRUE(std::regex_match(
        status.output, std::regex("COM1 running '" + path + "' on " + rig.sim.link() + since +
                                  "\n"
                                  "COM2 stopped '" +
                                  path + "' on " + stops.link() + since + ": the link was lost\n" +
                                  "COM3 cut off '" + path + "' on " + killed.link() + since +
                                  " \\(killed, crashed, or the PC went down\\)\n")))
        << status.output;

    const std::string record = rig.dir.file("state/vqdnc/COM1.job");
    ASSERT_EQ(truncate(record.c_str(), 0), 0);
    ASSERT_TRUE(rig.sim.wait_log("G01 X10\n"));
    ASSERT_EQ(unlink(record.c_str()), 0);
    const vqtest::RunResult result = running->finish();
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(rig.sim.log(), part);
    const std::string told = "No job record kept in " + record +
                             ": another program removed or replaced it - downloads go on "
                             "without one\n";
    EXPECT_NE(result.output.find(told), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find(told), result.output.rfind(told));
}

}  // namespace
