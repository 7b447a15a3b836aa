// Faults on the controller link, end to end: vqdnc against a vqsim that hangs
// up, stops taking bytes, answers with arbitrary bytes, answers slowly or not
// at all, is missing or replaced, or whose device another vqdnc already holds;
// and vqdnc started with standard descriptors closed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "harness.h"
#include "screens.h"

namespace {

using vqtest::Millis;
using vqtest::Process;
using vqtest::Rig;
using vqtest::Sim;
using vqtest::TempDir;
using namespace std::string_literals;

using vqtest::kBanner;
using vqtest::kHint;
using vqtest::kPortError;
using vqtest::kStart;

const std::string kUnfinished =
    "\nCOM1 holds an unfinished line: 256 bytes of it went out - re-open the port with c or b\n";
const std::string kRefused =
    "Not sent: COM1 holds an unfinished line - re-open the port with c or b\n";
const std::string kStopping =
    "\nStopping after the line in flight (Ctrl-C) - a second Ctrl-C gives up waiting for the "
    "controller on COM1\n";
// Opening the missing device refused, with the line on what to do (@ stands for
// the device path), then setting the rate of the port that is not open.
const std::string kOpenFails =
    kPortError + "2\n" + vqtest::open_failure("@", vqtest::kNoSuchDevice) + kPortError + "9\n";

// How long a program is watched while it should be idle in a wait.
constexpr Millis kIdleWindow{1500};
// A waiting program may use at most this share of one core; a polling loop
// uses all of it, even on a loaded machine far more than this.
constexpr double kIdleCpuShare = 0.25;

// ---------------------------------------------------------------------------
// Watching a program that should be waiting
// ---------------------------------------------------------------------------

// User and system CPU time of a process so far, in clock ticks; -1 if unknown.
long cpu_ticks(pid_t pid) {
    const std::string stat = vqtest::read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) return -1;
    // After the command name: state (field 3) ... utime (14), stime (15).
    std::istringstream fields(stat.substr(name_end + 1));
    std::string field;
    long utime = -1;
    long stime = -1;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) utime = std::stol(field);
        if (number == 15) stime = std::stol(field);
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// Lets the program run for kIdleWindow, reading its output, and returns the
// share of one core it used meanwhile.
double cpu_share_while_waiting(Process& program) {
    using Clock = std::chrono::steady_clock;
    const long before = cpu_ticks(program.pid());
    const auto start = Clock::now();
    program.read_for(kIdleWindow);
    const long after = cpu_ticks(program.pid());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (before < 0 || after < 0) return 1.0;
    return static_cast<double>(after - before) /
           (seconds * static_cast<double>(sysconf(_SC_CLK_TCK)));
}

// Ends a program stuck in a wait and checks that the signal, not a fault, ended it.
void terminate_waiting(Process& program) {
    program.signal(SIGTERM);
    const vqtest::RunResult result = program.finish();
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 128 + SIGTERM);
}

std::string lines_with_line_feeds(const std::vector<std::string>& lines, std::size_t count) {
    std::string bytes;
    for (std::size_t i = 0; i < count && i < lines.size(); ++i)
        bytes += lines[i] + "\n";
    return bytes;
}

// Waits until `pid` has taken the signals sent to it, so the next one is not
// merged with them.
bool signals_taken(pid_t pid) {
    for (int tries = 0; tries < 1000; ++tries) {
        const std::string status = vqtest::read_file("/proc/" + std::to_string(pid) + "/status");
        if (status.find("SigPnd:\t0000000000000000\nShdPnd:\t0000000000000000") !=
            std::string::npos)
            return true;
        usleep(10'000);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Signals in the middle of a download
// ---------------------------------------------------------------------------

// One Ctrl-C: the line in flight finishes, and the resume command shown,
// typed as shown, sends exactly the rest of the file.
TEST(CtrlC, StopsAfterTheLineInFlightAndTheResumeCommandSendsTheRest) {
    Rig rig({"--byte-delay-us", "1000"});
    auto& [dir, sim] = rig;
    ASSERT_TRUE(sim.ready());
    std::string part;
    std::string sendable;
    for (int i = 1; i <= 120; ++i) {
        const std::string line = (i % 10 == 0 ? "; note " : "G01 X") + std::to_string(i);
        part += line + "\n";
        if (line[0] != ';') sendable += line + "\n";
    }
    ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), part));
    auto program = rig.start();
    ASSERT_TRUE(program->send("fpart.nc\n"));
    ASSERT_TRUE(sim.wait_log("G01 X21\n"));
    program->signal(SIGINT);
    ASSERT_TRUE(program->expect(
        "Download of 'part.nc' stopped: the operator pressed Ctrl-C\n  The controller "
        "acknowledged line "));
    ASSERT_TRUE(program->expect(")\n  To resume: cCOM1 b115200 r"));
    ASSERT_TRUE(program->expect(" (options"));
    const std::string& shown = program->output();
    const std::size_t from = shown.rfind("To resume: ") + 11;
    const std::string resume = shown.substr(from, shown.rfind(" (options") - from);
    ASSERT_TRUE(program->send(resume + "\ne\n"));
    EXPECT_EQ(program->finish().exit_status, 1);
    EXPECT_EQ(sim.log(), sendable);
}

// Ctrl-C while the last line of the first file waits for its prompt: that
// file runs to its end, the options after it do not.
TEST(CtrlC, DuringTheLastLinesWaitEndsTheOptionsAfterIt) {
    Rig rig({"--byte-delay-us", "100000"});
    rig.dir.write("a.nc", "G21\n");
    auto program = rig.start({"-fa.nc", "-fa.nc"});
    ASSERT_TRUE(rig.sim.wait_log("G21\n"));
    program->signal(SIGINT);
    vqtest::RunResult result = program->finish();
    result.output.erase(result.output.find(kStopping), kStopping.size());  // among the echo
    EXPECT_EQ(result.output, kBanner +
                                 "\n-G21\nok-\nStopped (Ctrl-C)\nOptions after -fa.nc "
                                 "not run: stopped with Ctrl-C\n");
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(rig.sim.log(), "G21\n");
}

// Twice: the wait for the prompt is given up, and the report says the line
// went out whole without it.
TEST(CtrlC, TwiceGivesUpTheWait) {
    Rig rig({"--silent"});
    auto& [dir, sim] = rig;
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), "G21 G90\nM30\n"));
    auto program = rig.start();
    ASSERT_TRUE(program->send("fpart.nc\n"));
    ASSERT_TRUE(sim.wait_log("G21 G90\n"));
    program->signal(SIGINT);
    ASSERT_TRUE(program->expect(kStopping));
    program->signal(SIGINT);
    EXPECT_TRUE(program->expect(
        "\nStopped waiting for the prompt (Ctrl-C) - the controller may still answer\n\nDownload "
        "of 'part.nc' stopped: the operator pressed Ctrl-C\n  The controller acknowledged none of "
        "its lines\n  Line 1 went out whole but its prompt did not come: the controller may or "
        "may not have run it\n  To resume: cCOM1 b115200 r1 f" +
        dir.file("part.nc") + " (options: -cCOM1 -b115200 -r1 '-f" + dir.file("part.nc") +
        "')\n\n-"));
    terminate_waiting(*program);
}

// SIGTERM and SIGHUP during a long line: the line goes out whole, then the
// program ends by the signal with the device given back as it was found.
TEST(EndingSignal, FinishesTheLineAndGivesTheDeviceBack) {
    for (int sig : {SIGTERM, SIGHUP}) {
        Rig rig({"--byte-delay-us", "300"});
        auto& [dir, sim] = rig;
        ASSERT_TRUE(sim.ready());
        const std::string line = "G01 " + std::string(3000, 'X');
        ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), line + "\nM30\n"));
        auto device_mode = [&] {
            termios t{};
            const int fd = open(rig.sim.device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            tcgetattr(fd, &t);
            close(fd);
            return std::vector<tcflag_t>{t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag};
        };
        const auto before = device_mode();
        auto program = rig.start({"-fpart.nc"});
        ASSERT_TRUE(sim.wait_log("G01 XXX"));
        program->signal(sig);
        EXPECT_EQ(program->finish().exit_status, 128 + sig);
        EXPECT_TRUE(sim.wait_log(line + "\n"));
        EXPECT_EQ(sim.log(), line + "\n");
        EXPECT_EQ(device_mode(), before) << sig;
    }
}

bool line_settings(const std::string& device, termios& out);
bool same_line_settings(const termios& a, const termios& b);

// Standard output is a pipe that nobody reads: the download blocks in a
// console write, and each signal that ends the program still ends it at once,
// with the device as it was found; a second Ctrl-C ends the download.
TEST(EndingSignal, ActedOnWhileTheConsoleTakesNothing) {
    for (int sig : {SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGINT}) {
        Rig rig;
        rig.dir.write("part.nc",
                      lines_with_line_feeds(std::vector<std::string>(3000, "G01 X1 Y1"), 3000));
        ASSERT_EQ(mkfifo(rig.dir.file("out").c_str(), 0600), 0);
        const int out = open(rig.dir.file("out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        fcntl(out, F_SETPIPE_SZ, 4096);
        termios before{}, after{};
        ASSERT_TRUE(line_settings(rig.sim.device(), before));
        Process program("/bin/sh", {"-c", "exec \"$0\" -fpart.nc >out", vqtest::vqdnc_path()},
                        rig.env(), rig.dir.path());
        // Full: no write of the program's fits any more, and none has for a while.
        int held = 0;
        for (int tries = 0, was = -1; tries < 200 && (held != was || held < 3000); ++tries) {
            was = held;
            usleep(50'000);
            ioctl(out, FIONREAD, &held);
        }
        ASSERT_GE(held, 3000);
        const std::size_t sent = rig.sim.log().size();  // and the download waits for it
        usleep(200'000);
        ASSERT_EQ(rig.sim.log().size(), sent);
        program.signal(sig);
        if (sig == SIGINT) {
            ASSERT_TRUE(signals_taken(program.pid()));
            program.signal(sig);
        }
        EXPECT_EQ(program.finish().exit_status, sig == SIGINT ? 2 : 128 + sig);
        close(out);
        ASSERT_TRUE(line_settings(rig.sim.device(), after));
        EXPECT_TRUE(same_line_settings(before, after)) << sig;
        EXPECT_TRUE(rig.sim.log().ends_with("G01 X1 Y1\n")) << sig;
    }
}

// ---------------------------------------------------------------------------
// The controller hangs up in the middle of a download
// ---------------------------------------------------------------------------

const std::vector<std::string> kSixLines = {
    "G21 G90",    "G01 X1.2500 Y2.5000 F100 " + std::string(280, 'X'),  // goes out in pieces
    "G00 Z5",     "G01 X10 Y10",
    "G01 X20 Y0", "M30",
};

// The hang-up comes in the echo of the first piece of the long line: the
// download stops at once, and the port holds the piece that went out, so the
// next download sends nothing until b re-opens the port; in option mode the
// options after the download are not run.
TEST(HangUp, MidDownloadStopsAtOnceAndHoldsTheLineCutShort) {
    Rig rig({"--hangup-after-bytes", "108"});
    auto& [dir, sim] = rig;
    ASSERT_TRUE(sim.ready());
    const std::string part = lines_with_line_feeds(kSixLines, 6);
    ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), part));
    auto result = rig.run({}, "fpart.nc\nfpart.nc\nb115200\nfpart.nc\n");
    const std::string stopped =
        "\nok-" + kSixLines[1].substr(0, 100) + "\nLink lost on COM1 (" + sim.link() +
        "): the device hung up - port closed" + kUnfinished +
        "Download of 'part.nc' stopped: the link was lost\n  The controller acknowledged line 1 "
        "last (G21 G90)\n  Line 2 went out in part, without its end: the controller may hold the "
        "start of it\n  To resume: cCOM1 b115200 r2 f" +
        dir.file("part.nc") + " (options: -cCOM1 -b115200 -r2 '-f" + dir.file("part.nc") +
        "')\n  State at line 2: G21 G90\n";
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(vqtest::without_device_list(result.output),
              kStart + "\n-" + kSixLines[0] + stopped + "\n-" + kRefused + "\n-" +
                  std::regex_replace(kOpenFails + "\n-" + kOpenFails + "\n-", std::regex("@"),
                                     sim.link()));
    // Option mode: the options after a download that stopped early are not run.
    Sim again({"--hangup-after-bytes", "108"});
    result = rig.run({"-fpart.nc", "-fpart.nc"}, "", {{"VQDNC_COM1", again.link()}});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_TRUE(result.output.ends_with(
        "Options after -fpart.nc not run: the download did not run to the end\n"));
    EXPECT_TRUE(sim.log().size() >= 108 && part.starts_with(sim.log())) << sim.log();
}

// ---------------------------------------------------------------------------
// The controller hangs up, the device is missing or takes no bytes for a
// while, or vqdnc starts with standard descriptors closed
// ---------------------------------------------------------------------------

const std::string kPart = "G21 G90\nG00 Z5\nG01 X10 Y10\nM30\n";
const std::string kPartShown = "G21 G90\nok-G00 Z5\nok-G01 X10 Y10\nok-M30\nok-\n-";
const std::string kLongLine = "g01" + std::string(697, 'x');
std::string resume_at(int line) {
    const std::string n = std::to_string(line);
    return "  To resume: cCOM1 b115200 r" + n + " f%/part.nc (options: -cCOM1 -b115200 -r" + n +
           " '-f%/part.nc')\n";
}

struct FaultCase {
    const char* name;
    std::vector<std::string> sim_options;
    bool device_missing;
    std::string arguments;  // vqdnc's arguments and redirections, as the shell reads them
    std::string input;
    std::string shown;  // @ stands for the device path, % for the working folder
    std::string wire;   // what the controller receives
    int status = 1;     // of the shell's pipeline
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

class LinkFault : public testing::TestWithParam<FaultCase> {};

// Every command returns at once with its message and the program goes on; no
// line reaches the controller in part or glued to another, and no console text.
TEST_P(LinkFault, CommandsReturnAtOnceAndLinesStayWhole) {
    const FaultCase& c = GetParam();
    Rig rig(c.sim_options);
    auto& [dir, sim] = rig;
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), kPart));
    ASSERT_TRUE(vqtest::write_file(dir.file("long.nc"), kLongLine + "\n"));
    const std::string device = c.device_missing ? dir.file("missing") : sim.link();
    auto result =
        vqtest::run_program("/bin/sh", {"-c", "exec \"$0\" " + c.arguments, vqtest::vqdnc_path()},
                            c.input, {{"VQDNC_COM1", device}}, dir.path());

    std::string shown = c.shown;
    for (std::size_t at = shown.find('@'); at != std::string::npos; at = shown.find('@'))
        shown.replace(at, 1, device);
    for (std::size_t at = shown.find('%'); at != std::string::npos; at = shown.find('%'))
        shown.replace(at, 1, dir.path());
    EXPECT_EQ(result.exit_status, c.status);
    EXPECT_EQ(vqtest::without_device_list(result.output), shown);
    EXPECT_EQ(sim.log(), c.wire);
    sim.stop();  // with --strict it names each line sent before the prompt for the one before
    EXPECT_EQ(sim.output().find("began before"), std::string::npos) << sim.output();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LinkFault,
    testing::Values(
        // After the 20th byte, in the echo of the third line; the next download
        // finds the device gone.
        FaultCase{"HangUpMidLine",
                  {"--hangup-after-bytes", "20"},
                  false,
                  "",
                  "fpart.nc\nfpart.nc\ne\n",
                  kStart +
                      "\n-G21 G90\nok-G00 Z5\nok-G01 X\nLink lost on COM1 (@): the device hung "
                      "up - port closed\nDownload of 'part.nc' stopped: the link was lost\n  The "
                      "controller acknowledged line 2 last (G00 Z5)\n  Line 3 went out whole but "
                      "its prompt did not come: the controller may or may not have run it\n" +
                      resume_at(3) +
                      "  State at line 3: G21 G90 G00\n  Last position (program "
                      "coordinates): Z5\n\n-" +
                      kOpenFails + "\n-",
                  "G21 G90\nG00 Z5\nG01 X"},  // the board took no byte after the 20th
        FaultCase{"NeverOpened",
                  {},
                  true,
                  "",
                  "g X1\ni\nfpart.nc\ne\n",
                  kStart + kOpenFails + kHint + kOpenFails + "\n-" + kOpenFails + "\n-" +
                      kOpenFails + "\n-",
                  ""},
        FaultCase{"StopsTakingBytesAndResumes",
                  {"--stall-after", "10", "--stall-ms", "1500"},
                  false,
                  "",
                  "fpart.nc\ne\n",
                  kStart + "\n-G21 G90\nok-G00 Z5\nok-G01 X10 Y10\nok-M30\nok-\n-",
                  kPart},
        // Unasked after a prompt, with a board slow enough to see an early line.
        FaultCase{"BannerWhileIdle",
                  {"--unasked-after", "1", "--byte-delay-us", "100", "--strict"},
                  false,
                  "",
                  "g X1\nfpart.nc\ne\n",
                  kStart + "n1 g X1\nok\n-\r\nVQ318 V2.1 READY\r\n-\n-\n-" + kPartShown,
                  "n1 g X1\n" + kPart},
        FaultCase{"AlarmMidDownload",
                  {"--unasked-after", "1", "--unasked", "ALARM: -X LIMIT\\r\\n-", "--byte-delay-us",
                   "100", "--strict"},
                  false,
                  "",
                  "fpart.nc\ne\n",
                  kStart +
                      "\n-G21 G90\nok-ALARM: -X LIMIT\r\n-\nNot sent: the controller sent "
                      "'ALARM: -X LIMIT' unasked\nDownload of 'part.nc' stopped: after the "
                      "prompt for line 1 (G21 G90) the controller sent an error or alarm: it "
                      "may have refused it\n  The controller acknowledged line 1 last (G21 "
                      "G90)\n" +
                      resume_at(1) + "\n-",
                  "G21 G90\n"},
        FaultCase{"AlarmAfterTheLastPrompt",
                  {"--unasked-after", "1", "--unasked", "ALARM: -X LIMIT"},
                  false,
                  "-gG0",
                  "",
                  kBanner + "n1 G0\nok\n-ALARM: -X LIMIT\nThe controller sent 'ALARM: -X LIMIT' "
                            "unasked after its last prompt\n",
                  "n1 G0\n",
                  2},
        // The last line's prompt: the controller may have refused that line.
        FaultCase{"AlarmAfterTheLastLine",
                  {"--unasked-after", "4", "--unasked", "ALARM: -X LIMIT"},
                  false,
                  "-fpart.nc",
                  "",
                  kBanner + "\n-" + kPartShown.substr(0, kPartShown.size() - 2) +
                      "ALARM: -X LIMIT\nThe controller sent 'ALARM: -X LIMIT' unasked after its "
                      "last prompt\nDownload of 'part.nc' stopped: after the prompt for line 4 "
                      "(M30) the controller sent an error or alarm: it may have refused it\n  The "
                      "controller acknowledged line 4 last (M30)\n" +
                      resume_at(4) +
                      "  State at line 4: G21 G90 G01\n  Last position (program "
                      "coordinates): X10 Y10 Z5\n",
                  kPart,
                  2},
        FaultCase{"ErrorAnswer",
                  {"--answer-for", "2:ERROR 12: bad word~\\r\\n"},
                  false,
                  "-fpart.nc",
                  "",
                  kBanner +
                      "\n-G21 G90\nok-G00 Z5\nERROR 12: bad word~\r-\nStopped: the "
                      "controller answered 'ERROR 12: bad word~'\nDownload of 'part.nc' "
                      "stopped: the controller answered line 2 (G00 Z5) with an error or "
                      "alarm\n  The controller acknowledged line 1 last (G21 G90)\n" +
                      resume_at(2) + "  State at line 2: G21 G90\n",
                  "G21 G90\nG00 Z5\n",
                  2},
        // The controller resets while the third line's echo comes.
        FaultCase{"ResetWhileALineWaits",
                  {"--unasked-at", "18", "--byte-delay-us", "100", "--strict"},
                  false,
                  "",
                  "q\nfpart.nc\ne\n",  // quiet: the rest, shown at the end, may come in part
                  kStart +
                      "\n-\n-G21 G90G00 Z5G0\nThe echo on COM1 differs from what was sent: "
                      "lock-step with the controller is lost\n  sent:      'G01 X10 Y10\\n'\n  "
                      "came back: 'G0\\r'\nDownload of 'part.nc' stopped: the echo differed from "
                      "what was sent\n  The controller acknowledged line 2 last (G00 Z5)\n  Line 3 "
                      "went out whole but its prompt did not come: the controller may or may not "
                      "have run it\n" +
                      resume_at(3) +
                      "  State at line 3: G21 G90 G00\n  Last position (program "
                      "coordinates): Z5\n\n-",
                  "G21 G90\nG00 Z5\nG01 X10 Y10\n"},
        FaultCase{"SecondPromptBeforeQuery",
                  {"--unasked-after", "1", "--unasked", "-", "--byte-delay-us", "100", "--strict"},
                  false,
                  "",
                  "g X1\ni\nfpart.nc\ne\n",
                  kStart +
                      "n1 g X1\nok\n--\n-vX+0.0000 Y+0.0000 Z+0.0000\r\n-F5.0000\r\n-STATUS "
                      "IDLE\r\n-VQ318 READY\r\n-\n-" +
                      kPartShown,
                  "n1 g X1\nv" + kPart},
        // Each piece of a long line waits for as many echo bytes as it has.
        FaultCase{"UpperCaseEcho",
                  {"--upper-echo"},
                  false,
                  "",
                  "flong.nc\ne\n",
                  kStart + "\n-G01" + std::string(697, 'X') + "\nok-\n-",
                  kLongLine + "\n"},
        FaultCase{"StdoutClosed", {}, false, "-fpart.nc >&-", "", "", kPart},
        FaultCase{"StdinClosed", {}, false, "<&-", "", kStart, ""},
        FaultCase{"AllClosed", {}, false, "-fpart.nc <&- >&- 2>&-", "", "", kPart},
        // The reader of the output goes away: the download goes on to its end.
        FaultCase{"StdoutReaderGone",
                  {"--byte-delay-us", "2000"},
                  false,
                  "-fpart.nc | head -c 8",
                  "",
                  kBanner.substr(0, 8),
                  kPart,
                  0}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// The adapter comes back under the same name: the next typed line finds the
// new device, after the message about the old one.
TEST(Replug, NextTypedLineReachesTheNewController) {
    TempDir dir;
    auto first =
        std::make_unique<Sim>(std::vector<std::string>{"--hangup-after", "1"}, "com1", dir.path());
    ASSERT_TRUE(first->ready());
    auto program = vqtest::start_vqdnc({}, {{"VQDNC_COM1", first->link()}}, dir.path());
    ASSERT_TRUE(program->send("g X1\n"));
    ASSERT_TRUE(program->expect(kStart + "n1 g X1\nok\n-\n-"));
    ASSERT_TRUE(first->wait_exit());

    Sim second({}, "com1", dir.path());
    ASSERT_TRUE(second.ready());
    ASSERT_TRUE(program->send("g X2\n"));
    EXPECT_TRUE(program->expect("\nLink lost on COM1 (" + second.link() +
                                "): the device hung up - port closed\nn1 g X2\nok\n-\n-"))
        << program->output();
    EXPECT_EQ(second.log(), "n1 g X2\n");
    program->close_input();
    EXPECT_EQ(program->finish().exit_status, 1);
}

// ---------------------------------------------------------------------------
// The controller answers with arbitrary bytes
// ---------------------------------------------------------------------------

// What the console and the wire should carry, worked out from the display
// rules alone: the controller echoes every byte and after each line feed sends
// its answer and prompt; each wait shows `echo_count` bytes whatever comes,
// then reads up to the prompt, showing in normal mode everything but the
// second and later line feeds. Bytes a wait leaves unread show whole at a typed
// line's end and before the next line, or go to the next wait after one that met the
// prompt among the echo. An answer no wait has read into may or may not have
// come by the next line: bit n of `choices` says for the nth such line.
struct Model {
    std::string answer;
    char prompt = '-';
    bool quiet = false;
    std::string from_controller;  // sent by the controller, not yet read
    std::string wire;             // sent by the program
    std::string console;          // shown by the program
    bool owed = false;            // the last wait met the prompt among the echo
    bool lost = false;            // the program met an echo byte it did not send
    std::size_t fresh = 0;        // bytes of the last answer no wait has read into
    unsigned choices = 0, unsure = 0;

    char take() {
        EXPECT_FALSE(from_controller.empty()) << "the model waits for a byte that never comes";
        if (from_controller.empty()) return prompt;
        if (from_controller.size() <= fresh) fresh = 0;
        const char byte = from_controller.front();
        from_controller.erase(0, 1);
        return byte;
    }

    void send(const std::string& bytes) {
        const bool come = fresh == 0 || ((choices >> unsure++) & 1) != 0;
        const std::size_t shown = owed ? 0 : from_controller.size() - (come ? 0 : fresh);
        if (!quiet) console += from_controller.substr(0, shown);
        from_controller.erase(0, shown);
        fresh = from_controller.size();
        wire += bytes;
        for (char byte : bytes) {
            from_controller += byte;
            if (byte == '\n') from_controller += answer + prompt;
        }
        fresh = from_controller.size() - fresh;
    }

    // The echo of `sent`, its first `echo_count` bytes shown as echo and the
    // rest (a download line's line feed) as the answer's first line feed, then
    // the answer up to the prompt. An echo byte that differs from the byte sent
    // ends the model: the program says so there.
    void wait(const std::string& sent, std::size_t echo_count) {
        char last = '\0';
        int line_feeds = 0;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            last = take();
            lost = std::tolower(static_cast<unsigned char>(last)) !=
                   std::tolower(static_cast<unsigned char>(sent[i]));
            if (lost) return;
            if (i < echo_count || !quiet) console += last;
            if (i >= echo_count) ++line_feeds;
        }
        owed = last == prompt;
        while (last != prompt) {
            last = take();
            if (quiet) continue;
            if (last == '\n') ++line_feeds;
            if (last != '\n' || line_feeds == 1) console += last;
        }
    }

    // The console command f: comment lines are skipped, a CR before the LF is dropped.
    void download(const std::string& file) {
        if (lost) return;
        console += "\n-";
        std::istringstream lines(file);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty() && line.front() == ';') continue;
            send(line + "\n");
            wait(line + "\n", line.size());
            if (lost) return;
        }
        send("");  // what came after the last prompt shows at the download's end
        console += "\n-";
    }

    // A typed line: the g command numbers it, the n command sends it as typed.
    void typed(const std::string& line) {
        if (lost) return;
        const std::string sent = (line[0] == 'N' ? "" : "n1 ") + line + "\n";
        send(sent);
        wait(sent, sent.size());
        if (lost) return;
        send("");  // what came after the prompt shows before the console's
        console += "\n-";
    }
};

struct AnswerCase {
    const char* name;
    std::string answer;
    char prompt;
    std::vector<std::string> sim_options;  // besides --answer and --prompt
    bool slow_rate;                        // the program at 9600, set with b9600
};

std::string escaped(std::string_view bytes) {
    std::string out;
    char hex[5];
    for (unsigned char byte : bytes) {
        std::snprintf(hex, sizeof hex, "\\x%02x", byte);
        out += hex;
    }
    return out;
}

std::string all_bytes(bool descending) {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(descending ? 255 - i : i);
    return bytes;
}

// G-code with the prompt byte in the middle and at the end of lines, where
// '#' stands for the prompt. A NUL would end a line of a file, so with a NUL
// prompt the lines carry '-' instead.
std::string with_prompt(std::string text, char prompt) {
    std::replace(text.begin(), text.end(), '#', prompt == '\0' ? '-' : prompt);
    return text;
}

const std::string kPartTemplate =
    "G21 G90\n"
    "; comment # not sent\n"
    "G01 X#1.5 Y#2 F100\r\n"
    "\n"
    "G00 Z#\n"
    " ; sent: the ; is not first\n"
    "M30\n";
const std::vector<std::string> kTypedTemplates = {"G01 X#3 Y#4.5", "N20 G00 Z#", "g"};

void PrintTo(const AnswerCase& c, std::ostream* out) {
    *out << c.name;
}

class ArbitraryAnswer : public testing::TestWithParam<AnswerCase> {};

TEST_P(ArbitraryAnswer, ConsoleFollowsTheDisplayRulesAndTheWireCarriesExactlyTheLines) {
    const AnswerCase& c = GetParam();
    std::vector<std::string> sim_args = {"--answer", escaped(c.answer), "--prompt",
                                         escaped(std::string(1, c.prompt))};
    sim_args.insert(sim_args.end(), c.sim_options.begin(), c.sim_options.end());
    Rig rig(sim_args);
    auto& [dir, sim] = rig;
    ASSERT_TRUE(sim.ready());
    const std::string part = with_prompt(kPartTemplate, c.prompt);
    ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), part));
    ASSERT_TRUE(
        vqtest::write_file(dir.file("dnconfig.txt"), std::string("promptchar ") + c.prompt + "\n"));

    Model model;
    std::string input;
    auto run_model = [&](unsigned choices) {
        model = Model{};
        model.answer = c.answer;
        model.prompt = c.prompt;
        model.choices = choices;
        input = c.slow_rate ? "b9600\n" : "";
        model.console = c.slow_rate ? "\n-" : "";
        for (bool quiet : {false, true}) {
            if (quiet) {
                input += "q\n";
                model.console += "\n-";
                model.quiet = true;
            }
            input += "fpart.nc\n";
            model.download(part);
            for (const std::string& typed : kTypedTemplates) {
                input += with_prompt(typed, c.prompt) + "\n";
                model.typed(with_prompt(typed, c.prompt));
            }
        }
        input += "e\n";
        return escaped(kStart + model.console);
    };
    run_model(0);
    auto result = rig.run({}, input);
    EXPECT_FALSE(result.timed_out);
    // Past a lost lock-step the program's message and the rest are not modelled.
    const std::string shown = escaped(result.output);
    auto agrees = [&](unsigned choices) {
        const std::string expected = run_model(choices);
        return model.lost ? shown.starts_with(expected + escaped("\nThe echo on COM1 differs"))
                          : shown == expected;
    };
    unsigned choices = 0;
    while (choices + 1 < 1u << 14 && !agrees(choices))
        ++choices;
    EXPECT_TRUE(agrees(choices)) << shown << "\n" << run_model(0);
    // A wait that ended early lets the program go on while the controller is
    // still sending: the last line may reach it after the program has gone.
    sim.wait_log(model.wire);
    EXPECT_EQ(escaped(sim.log().substr(0, model.lost ? model.wire.size() : std::string::npos)),
              escaped(model.wire));
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ArbitraryAnswer,
    testing::Values(
        // The prompt 0x2d and a line feed sit inside the answer.
        AnswerCase{"AllBytesAscending", all_bytes(false), '-', {}, false},
        AnswerCase{"LineBreaksAndPromptsInside", "\r\n-\n\n\x00\xff\r\r\n-x\n"s, '-', {}, false},
        // A prompt byte above 0x7f; the answer starts with it.
        AnswerCase{"HighPromptAllBytesDescending", all_bytes(true), '\xff', {}, false},
        AnswerCase{"NulPrompt", "ok\x00tail\n"s, '\0', {}, false},
        // The same answer at full speed and when every byte arrives on its own,
        // at the rate's pace (the rest of an answer after a prompt in it would
        // be there or not when the next line goes): both come out as the rules say.
        AnswerCase{"FastController", "o+k\r\n\n\x00\xff"s, '-', {}, true},
        AnswerCase{"SlowController", "o+k\r\n\n\x00\xff"s, '-', {"--emulate-rate"}, true}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A slow controller and one that never answers
// ---------------------------------------------------------------------------

const std::vector<std::string> kTenLines = {"G21 G90",     "G00 X0 Y0 Z5", "G01 Z1 F100", "G01 X10",
                                            "G01 Y10",     "G01 X0",       "G01 Y0",      "G00 Z5",
                                            "G00 X50 Y50", "M30"};

std::size_t count_of(const std::string& text, std::string_view part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// While the download runs, the controller never holds a line the program sent
// before it had shown the prompt for the line before. The log is looked at
// before the output, so a prompt shown in between only makes the check milder.
TEST(SlowController, NextLineLeavesOnlyAfterThePrompt) {
    // A long answer at 9600 keeps the controller busy for a good while per line.
    Rig rig({"--emulate-rate", "--answer", "ok " + std::string(60, '.') + "\\n"});
    auto& [dir, slow] = rig;
    ASSERT_TRUE(slow.ready());
    ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), lines_with_line_feeds(kTenLines, 10)));
    auto program = rig.start({"-b9600", "-fpart.nc"});
    const std::string prompt_shown = std::string(60, '.') + "-";
    const auto deadline = std::chrono::steady_clock::now() + vqtest::kRunTimeout;
    while (!program->exited() && std::chrono::steady_clock::now() < deadline) {
        const std::size_t lines_held = count_of(slow.log(), "\n");
        program->read_for(Millis(5));
        const std::size_t prompts = count_of(program->output(), prompt_shown);
        ASSERT_LE(lines_held, prompts + 1) << program->output();
    }
    const vqtest::RunResult result = program->finish();
    EXPECT_EQ(result.exit_status, 1);
    std::string shown = kBanner + "\n-";
    for (const std::string& line : kTenLines)
        shown += line + "\nok " + prompt_shown;
    EXPECT_EQ(result.output, shown);
    EXPECT_EQ(slow.log(), lines_with_line_feeds(kTenLines, 10));
}

struct SilentCase {
    const char* name;
    std::vector<std::string> sim_options;
    std::string shown_after_start;  // for the first line
};

void PrintTo(const SilentCase& c, std::ostream* out) {
    *out << c.name;
}

class SilentController : public testing::TestWithParam<SilentCase> {};

TEST_P(SilentController, OnlyTheFirstLineLeavesAndTheWaitIsIdle) {
    const SilentCase& c = GetParam();
    Rig rig(c.sim_options);
    auto& [dir, sim] = rig;
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), lines_with_line_feeds(kTenLines, 10)));
    auto program = rig.start({"-fpart.nc"});

    const std::string first_line = lines_with_line_feeds(kTenLines, 1);
    ASSERT_TRUE(sim.wait_log(first_line));
    const std::string shown = kBanner + "\n-" + c.shown_after_start;
    ASSERT_TRUE(program->expect(shown)) << program->output();

    EXPECT_LT(cpu_share_while_waiting(*program), kIdleCpuShare);
    EXPECT_EQ(sim.log(), first_line);
    EXPECT_EQ(program->output(), shown);
    terminate_waiting(*program);
}

INSTANTIATE_TEST_SUITE_P(Never, SilentController,
                         testing::Values(SilentCase{"EchoesOnly", {"--silent"}, "G21 G90\n"},
                                         SilentCase{"NoEchoEither", {"--silent", "--no-echo"}, ""}),
                         [](const testing::TestParamInfo<SilentCase>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Two programs on the same device
// ---------------------------------------------------------------------------

bool same_line_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

bool line_settings(const std::string& device, termios& out) {
    const int fd = open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = tcgetattr(fd, &out) == 0;
    close(fd);
    return ok;
}

// The second program, told to change the rate and to download, neither
// touches the first one's line settings nor puts a byte on the line; its
// rate option, which could not open the port, ends its run.
TEST(SecondProgram, RateOptionAndDownloadLeaveTheFirstOnesLineAlone) {
    // Only root may open a port another program holds, to read its settings.
    const bool root = geteuid() == 0;
    Rig rig;
    auto& [dir, sim] = rig;
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), lines_with_line_feeds(kTenLines, 10)));
    auto first = rig.start();
    // Its first prompt comes before it opens the port; an answered line comes after.
    ASSERT_TRUE(first->send("g X0\n"));
    ASSERT_TRUE(first->expect(kStart + "n1 g X0\nok\n-\n-"));
    termios held{};
    if (root) {
        ASSERT_TRUE(line_settings(sim.device(), held));
        ASSERT_EQ(cfgetospeed(&held), B115200);
    }

    // Open refused (EBUSY for a user, EWOULDBLOCK for root), then the rate call
    // on the port that is not open; at start-up and for -b.
    const vqtest::RunResult second = rig.run({"-b9600", "-fpart.nc"});
    EXPECT_FALSE(second.timed_out);
    const std::string refused =
        kPortError + "busy\n" +
        vqtest::open_failure(sim.link(), vqtest::in_use_by_vqdnc(first->pid())) + kPortError +
        "9\n";
    EXPECT_EQ(std::regex_replace(second.output, std::regex(kPortError + "(11|16)\n"),
                                 kPortError + "busy\n"),
              kBanner + refused + kHint + refused +
                  "Options after -b9600 not run: the port did not open\n");
    EXPECT_EQ(sim.log(), "n1 g X0\n");
    termios after{};
    if (root) {
        ASSERT_TRUE(line_settings(sim.device(), after));
        EXPECT_TRUE(same_line_settings(held, after));
    }

    ASSERT_TRUE(first->send("g X1\n"));
    ASSERT_TRUE(first->expect("n1 g X1\nok\n-\n-"));
    EXPECT_EQ(sim.log(), "n1 g X0\nn1 g X1\n");
    first->close_input();
    EXPECT_EQ(first->finish().exit_status, 1);
}

}  // namespace
