// The console and the command line end to end: vqdnc against vqsim on
// pseudo-terminals, console input through a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <string>

#include "harness.h"
#include "screens.h"

namespace {

using namespace std::literals;
using vqtest::Env;
using vqtest::Rig;
using vqtest::run_vqdnc;
using vqtest::Sim;
using vqtest::TempDir;

using vqtest::kBanner;
using vqtest::kHint;
using vqtest::kPortError;
using vqtest::kStart;
using vqtest::open_failure;
using vqtest::without_device_list;
const std::string kHelp =
    "Command options:\n\n"
    "  -ffilename  - download G Code file 'filename'\n"
    "  -gxxxxx     - Send G Code command(s) to VQ318\n"
    "  -nxxxxx     - Send G Code command(s) to VQ318\n"
    "  -a          - Read eight analog target channels\n"
    "  -cCOMx      - Set serial communication channel to COMx\n"
    "  -bnnnn      - Set baud rate to nnnn (2400-57200 default 19200)\n"
    "  -h          - output help menu\n\n"
    "  G Code files can contain comments ';' \n\n";

// A console session with vqsim as COM1, run in an empty directory.
class Console : public testing::Test {
protected:
    vqtest::RunResult run(const std::string& input, const Env& extra = {}) {
        return rig_.run({}, input, extra);
    }
    Rig rig_;
    Sim& sim_ = rig_.sim;
};

TEST_F(Console, StartUpScreenThenEndsOnE) {
    ASSERT_TRUE(sim_.ready());
    auto result = run("e\n");
    EXPECT_EQ(result.output, kStart);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(sim_.log(), "");
}

TEST_F(Console, EndOfInputClosesAndExitsWithoutRepeating) {
    auto result = run("h");
    EXPECT_EQ(result.output, kStart + kHelp + "\n-");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_FALSE(result.timed_out);
}

TEST_F(Console, CommandsShareALineAndMatchByCaseBlindPrefix) {
    auto result = run("hold hf hello Q xyz\nE\n");
    EXPECT_EQ(result.output,
              kStart + "\n-\n-" + kHelp + "\n-\n-" + vqtest::unknown_command("xyz") + "\n-");
    EXPECT_EQ(result.exit_status, 1);
}

TEST_F(Console, ChannelCommandReopensAndConfirms) {
    Sim com2({}, "com2");
    auto result = run("CCOM2\n", {{"VQDNC_COM2", com2.link()}});
    EXPECT_EQ(result.output, kStart + "Com channel set to COM2,115200,N,1\n\n-");
}

// A word that is no command, or a command refused or stopped, ends its
// console line: nothing after it on that line runs. A resume line serves the
// next download only, whether that one starts or not.
TEST_F(Console, RefusalsChangeNothingAndEndTheirLine) {
    const std::string rest = "Rest of the line not run: fpart.nc\n\n-";
    const std::string armed = "The next download starts at its line 2\n\n-";
    const std::string dropped =
        "Resume from line 2 dropped - give r2 again before the f it is for\n";
    const std::string bad_r = "Line to resume from must be a number from 1 to 999999999: '";
    rig_.dir.write("part.nc", "G21\nG00 Z5\n");
    auto result = run(
        "clear fpart.nc\ng X1\nM03 S1000 fpart.nc\nr2 r0 fpart.nc\nr1e3 fpart.nc\nr2 fnothere.nc "
        "fpart.nc\nfpart.nc\n");
    EXPECT_EQ(result.output,
              kStart + "Unrecognized com channel: lear\n  COM1 at 115200 kept - nothing changed\n" +
                  rest + "n1 g X1\nok\n-\n-" + vqtest::unknown_command("M03") + "\n-" + armed +
                  bad_r + "0' - ignored\n" + dropped + rest + bad_r + "1e3' - ignored\n" + rest +
                  armed + "Cannot open G Code file 'nothere.nc': No such file or directory\n" +
                  dropped + rest + "\n-G21\nok-G00 Z5\nok-\n-");
    EXPECT_EQ(sim_.log(), "n1 g X1\nG21\nG00 Z5\n");
}

TEST_F(Console, GAndNLinesGoOutInLockStep) {
    auto result = run("G01 X1.5 Y2\nN20 G00 Z1\ng\ne\n");
    EXPECT_EQ(sim_.log(), "n1 G01 X1.5 Y2\nN20 G00 Z1\nn1 g\n");
    EXPECT_EQ(result.output,
              kStart + "n1 G01 X1.5 Y2\nok\n-\n-" + "N20 G00 Z1\nok\n-\n-" + "n1 g\nok\n-\n-");
}

TEST_F(Console, QuietModeShowsOnlyTheEcho) {
    auto result = run("q g X1\ne\n");
    EXPECT_EQ(result.output, kStart + "\n-n1 g X1\n\n-");
    EXPECT_EQ(sim_.log(), "n1 g X1\n");
}

TEST_F(Console, QueryShowsFourAnswersAndNoPromptOfItsOwn) {
    auto result = run("i\ne\n");
    EXPECT_EQ(sim_.log(), "v");
    // The controller's own prompt after the fourth answer is the console prompt.
    std::string shown = result.output.substr(kStart.size());
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '-'), 4) << shown;
    EXPECT_EQ(shown.front(), 'v');
    EXPECT_EQ(shown.back(), '-');
}

TEST_F(Console, RateChangeReopensAndTheLinkStillWorks) {
    auto result = run("b9600 g X1\nb57600\ne\n");
    EXPECT_EQ(result.output, kStart + "\n-n1 g X1\nok\n-\n-" + "\n-");
    EXPECT_EQ(sim_.log(), "n1 g X1\n");
}

TEST_F(Console, OverLongWordRunsNothingOfItsLine) {
    std::string word = "c" + std::string(260, 'x');
    auto result = run(word + " fpart.nc g X1\nh\n");
    EXPECT_EQ(
        result.output,
        kStart + "Command too long (199 characters at most) - line ignored\n\n-" + kHelp + "\n-");
    EXPECT_EQ(sim_.log(), "");
}

TEST_F(Console, TypedLineTooLongIsRefusedWhole) {
    auto result = run("g " + std::string(300, 'X') + " cCOM5\ng X1\n");
    EXPECT_EQ(result.output, kStart +
                                 "G Code line too long - not sent (255 characters at most)\n\n-" +
                                 "n1 g X1\nok\n-\n-");
    EXPECT_EQ(sim_.log(), "n1 g X1\n");
}

// Each refused whole with a message: nothing of it is sent or run.
TEST_F(Console, LinesWithControlCharactersAndWordsWithNulAreRefused) {
    std::string typed;
    std::string shown;
    for (const std::string& line : {"g X1\x1b[D5\n"s, "g\x1b[A X1\n"s, "N1 M03\x01 S1000\n"s,
                                    "g X1\x7f\n"s, "g X1\0Y2\n"s, "g X1\vY2\n"s}) {
        typed += line;
        shown += "G Code line contains control characters - not sent\n\n-";
    }
    for (const std::string& word : {"fpart\0.nc\n"s, "c\0COM2\n"s}) {
        typed += word;
        shown += "Command contains a NUL character - ignored\n\n-";
    }
    // Tab and bytes 0x80 to 0xFF are G-code line text.
    auto result = run(typed + "g X1\tY\xe9\xff\n");
    EXPECT_EQ(result.output, kStart + shown + "n1 g X1\tY\xe9\xff\nok\n-\n-");
    EXPECT_EQ(sim_.log(), "n1 g X1\tY\xe9\xff\n");
}

TEST_F(Console, ConfigurationFileSetsPortRateAndPrompt) {
    Sim com3({"--prompt", ">"}, "com3");
    rig_.dir.write("dnconfig.txt", "comchannel COM3\nbaudrate 38400\npromptchar >\n");
    auto result = run("g X1\n", {{"VQDNC_COM3", com3.link()}});
    EXPECT_EQ(result.output, kBanner + "  Use COM3,38400,N,1 - change using c or b commands\n\n-" +
                                 "n1 g X1\nok\n>\n-");
    EXPECT_EQ(com3.log(), "n1 g X1\n");
}

TEST(Waiting, EchoIsOnScreenWhileTheControllerKeepsUsWaiting) {
    Rig rig({"--silent"});
    auto program = rig.start();
    ASSERT_TRUE(program->send("g X1\n"));
    EXPECT_TRUE(program->expect(kStart + "n1 g X1\n"));
    program->signal(SIGTERM);
    program->finish();
}

// The failed open gets a line saying what to do; the rate call after it only
// its error line.
TEST(StartUp, MissingDevicePrintsErrnoWhatToDoAndTheHint) {
    TempDir dir;
    auto result = run_vqdnc({}, "e\n", {{"VQDNC_COM1", "/nonexistent/tty"}}, dir.path());
    EXPECT_EQ(without_device_list(result.output),
              kStart + kPortError + "2\n" +
                  open_failure("/nonexistent/tty", vqtest::kNoSuchDevice) + kPortError + "9\n" +
                  kHint);
    EXPECT_EQ(result.exit_status, 1);
}

TEST(StartUp, SecondProgramOnTheSameDeviceGetsTheErrorAndWritesNothing) {
    Rig rig;
    auto& [dir, sim] = rig;
    auto first = rig.start();
    // An answered line shows the first one holds the port before the second starts.
    ASSERT_TRUE(first->send("g X0\n"));
    ASSERT_TRUE(first->expect(kStart + "n1 g X0\nok\n-\n-"));
    auto second = rig.run({}, "e\n");
    // EBUSY for an ordinary user (the port is held exclusively), EWOULDBLOCK for
    // root (the lock); then the rate call fails on the port that is not open.
    std::string errors = second.output.substr(kStart.size());
    const std::string held = open_failure(sim.link(), vqtest::in_use_by_vqdnc(first->pid()));
    EXPECT_TRUE(std::regex_match(
        errors,
        std::regex(kPortError + "(11|16)\n" + std::regex_replace(held, std::regex("[()]"), "\\$&") +
                   kPortError + "9\n[^]*")))
        << errors;
    EXPECT_EQ(errors.substr(errors.size() - kHint.size()), kHint);
    // The first one keeps the line; the second never put a byte on it.
    ASSERT_TRUE(first->send("g X1\n"));
    ASSERT_TRUE(first->expect("n1 g X1\nok\n-\n-"));
    EXPECT_EQ(sim.log(), "n1 g X0\nn1 g X1\n");
    first->close_input();
    EXPECT_EQ(first->finish().exit_status, 1);
}

TEST(StartUp, LineIsRawEightNOneAtTheSelectedRate) {
    if (geteuid() != 0) GTEST_SKIP() << "a second open of a held port needs root";
    Rig rig;
    auto program = rig.start();
    ASSERT_TRUE(program->send("b9600\n"));
    ASSERT_TRUE(program->expect(kStart + "\n-"));
    int fd = open(rig.sim.link().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    program->close_input();
    program->finish();
}

TEST(OptionMode, ChannelAndRateOptionsThenExit) {
    Rig rig;
    Sim com2({}, "com2");
    auto result =
        rig.run({"-cCOM2", "-b9600", "-gG28", "-nN1 G28", "-h"}, "", {{"VQDNC_COM2", com2.link()}});
    EXPECT_EQ(result.output, kBanner + "Com channel set to COM2,115200,N,1\n" +
                                 "n1 G28\nok\n-N1 G28\nok\n-" + kHelp);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(rig.sim.log(), "");
    EXPECT_EQ(com2.log(), "n1 G28\nN1 G28\n");
}

// The first option that cannot be carried out as written ends the run: it and
// the options after it are not run, and the status is 2.
TEST(OptionMode, FirstRefusedOptionEndsTheRunWithStatusTwo) {
    const std::string as_written = " not run: it could not be carried out as written\n";
    const std::string long_f = "-f" + std::string(200, 'a');
    for (auto [args, last_line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-b9601", "-fpart.nc"}, "-b9601" + as_written},
             {{"part.nc"},
              "Not an option: 'part.nc' - options begin with '-' (see vqdnc --help)\n"},
             {{"-a", "-fpart.nc"}, "-a" + as_written},
             {{long_f, "-fpart.nc"}, long_f.substr(0, 60) + "..." + as_written},
             {{"-f"}, "No file name after f - give it joined on: fpart.nc (option -fpart.nc)\n"},
             {{"-g", "-fpart.nc"}, "-g" + as_written},
             {{"-nN1\x1b[D", "-fpart.nc"},
              "-nN1\\x1B[D not run: the G-code line did not go through\n"},
             // A file name's escape sequence shows as text, never acts on the terminal.
             {{"-f\x1b[7mX", "-fpart.nc"},
              "Cannot open G Code file '\\x1B[7mX': No such file or directory\nOptions after "
              "-f\\x1B[7mX not run: the download did not run to the end\n"},
         }) {
        Rig rig;
        auto result = rig.run(args);
        EXPECT_TRUE(result.output.ends_with(last_line)) << result.output;
        EXPECT_EQ(result.exit_status, 2) << args[0];
    }
}

TEST(OptionMode, HelpAndVersionAnswerWithSuccessAndNothingElse) {
    TempDir dir;
    // A file that would print a message and a device that cannot be opened: neither shows.
    ASSERT_TRUE(vqtest::write_file(dir.file("dnconfig.txt"), "baudrate 1\n"));
    Env env = {{"VQDNC_COM1", "/nonexistent/tty"}};
    // --help is the program's usage, not the h command's help.
    const std::string usage = run_vqdnc({"--help"}, "", env, dir.path()).output;
    EXPECT_TRUE(usage.starts_with("Usage: vqdnc ") &&
                usage.ends_with("README.md.gz in the package.\n"));
    for (auto [args, shown] :
         {std::pair{std::vector<std::string>{"--version"}, "VQ318G DNC Program V1.05\n"s},
          {{"-cCOM2", "--help", "-fpart.nc"}, usage}}) {
        auto result = run_vqdnc(args, "", env, dir.path());
        EXPECT_EQ(result.output, shown);
        EXPECT_EQ(result.exit_status, 0);
    }
}

TEST(OptionMode, MissingDeviceShowsTheHintAndGoesOn) {
    TempDir dir;
    auto result = run_vqdnc({"-b2400"}, "", {{"VQDNC_COM1", "/nonexistent/tty"}}, dir.path());
    const std::string failed = kPortError + "2\n" +
                               open_failure("/nonexistent/tty", vqtest::kNoSuchDevice) +
                               kPortError + "9\n";
    EXPECT_EQ(without_device_list(result.output), kBanner + failed + kHint + failed);
    EXPECT_EQ(result.exit_status, 2);  // the port did not open at the rate asked for
}

}  // namespace
