// G-code file download end to end: vqdnc sends a part program to vqsim from the
// console command f and from the option -f.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "loopback.h"
#include "screens.h"

namespace {

using vqtest::Rig;
using vqtest::run_program;
using vqtest::Sim;
using vqtest::TempDir;

using vqtest::kBanner;
using vqtest::kStart;

std::string long_line() {
    std::string line = "G01";
    for (int i = 0; i < 20; ++i)
        line += " X" + std::to_string(i) + ".2500 Y" + std::to_string(i);
    return line;  // well over 255 characters
}

// A part program with CRLF line ends whose last line has no line end.
const std::string kPart =
    "; pocket 20 x 10, depth 1\r\n"
    "; units mm, absolute\r\n"
    "\r\n"
    "G21 G90\r\n"
    "G00 X0 Y0 Z5\r\n"
    " ; spindle started by hand\r\n"
    "G01 Z-1 F100\r\n" +
    long_line() + "\r\n\r\nG00 Z5\r\nM30";
// The line texts the controller gets, each followed by a line feed.
const std::vector<std::string> kSent = {
    "", "G21 G90", "G00 X0 Y0 Z5", " ; spindle started by hand", "G01 Z-1 F100", long_line(),
    "", "G00 Z5",  "M30"};

std::string sent_bytes() {
    std::string bytes;
    for (const std::string& line : kSent)
        bytes += line + "\n";
    return bytes;
}

// What a download shows: the prompt, then each line's echo and, in normal
// mode, the answer ("ok" and the prompt after the echoed line feed).
std::string shown(bool quiet) {
    std::string text = "\n-";
    for (const std::string& line : kSent)
        text += quiet ? line : line + "\nok-";
    return text;
}

class DownloadEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.ready());
        ASSERT_TRUE(vqtest::write_file(dir_.file("part.nc"), kPart));
    }
    vqtest::RunResult run(const std::vector<std::string>& args, const std::string& input = "") {
        return rig_.run(args, input);
    }
    Rig rig_;
    TempDir& dir_ = rig_.dir;
    Sim& sim_ = rig_.sim;
};

TEST_F(DownloadEndToEnd, ConsoleCommandInNormalThenQuietMode) {
    auto result = run({}, "fpart.nc\nq fpart.nc\n");
    EXPECT_EQ(result.output, kStart + shown(false) + "\n-" + "\n-" + shown(true) + "\n-");
    EXPECT_EQ(sim_.log(), sent_bytes() + sent_bytes());
    EXPECT_EQ(result.exit_status, 1);
}

TEST_F(DownloadEndToEnd, CommandLineOption) {
    auto result = run({"-fpart.nc"});
    EXPECT_EQ(result.output, kBanner + shown(false));
    EXPECT_EQ(sim_.log(), sent_bytes());
    EXPECT_EQ(result.exit_status, 1);
}

// r7 skips the comments and lines before file line 7, naming the modal words
// they leave; a line past the end sends nothing.
TEST_F(DownloadEndToEnd, ResumeFromAFileLine) {
    auto result = run({}, "r7 fpart.nc r12 fpart.nc\n");
    std::string rest_shown = "\n-";
    std::string rest_sent;
    for (std::size_t i = 4; i < kSent.size(); ++i) {
        rest_shown += kSent[i] + "\nok-";
        rest_sent += kSent[i] + "\n";
    }
    EXPECT_EQ(result.output, kStart +
                                 "The next download starts at its line 7\n\n-Lines 1-6 of "
                                 "'part.nc' skipped, none of them sent; the modal words they "
                                 "leave: G21 G90 G00\n  Last position (program "
                                 "coordinates): X0 Y0 Z5\n" +
                                 rest_shown +
                                 "\n-The next download starts at its line 12\n\n-'part.nc' has "
                                 "11 lines: nothing to send from line 12 on\n\n-");
    EXPECT_EQ(sim_.log(), rest_sent);
}

TEST_F(DownloadEndToEnd, FileThatCannotBeOpenedSendsNothing) {
    auto result = run({}, "fnothere.nc\n");
    EXPECT_EQ(result.output,
              kStart + "Cannot open G Code file 'nothere.nc': No such file or directory\n\n-");
    EXPECT_EQ(sim_.log(), "");
}

TEST_F(DownloadEndToEnd, LineFarLargerThanAnyBufferGoesThroughWhole) {
    const std::string huge = "G01" + std::string(200000, 'X');
    ASSERT_TRUE(vqtest::write_file(dir_.file("huge.nc"), huge + "\nM30\n"));
    auto result = run({"-fhuge.nc"});
    EXPECT_EQ(result.output, kBanner + "\n-" + huge + "\nok-M30\nok-");
    EXPECT_EQ(sim_.log(), huge + "\nM30\n");
}

// Neither a FIFO as dnconfig.txt, which counts as missing, nor files that are
// not regular files to download make the program wait or read them.
TEST_F(DownloadEndToEnd, FilesThatAreNotRegularAreRefusedWithoutWaiting) {
    ASSERT_EQ(mkfifo(dir_.file("dnconfig.txt").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", dir_.file("zero").c_str()), 0);
    ASSERT_EQ(mkdir(dir_.file("dir").c_str(), 0700), 0);
    auto result = run({}, "fdnconfig.txt\nfzero\nf/dev/zero\nfdir\n");
    const std::string refused = "Cannot open G Code file '";
    EXPECT_EQ(result.output, kStart + refused + "dnconfig.txt': Not a regular file\n\n-" + refused +
                                 "zero': Not a regular file\n\n-" + refused +
                                 "/dev/zero': Not a regular file\n\n-" + refused +
                                 "dir': Is a directory\n\n-");
    EXPECT_EQ(sim_.log(), "");
    // In option mode a download that could not run stops the options after it.
    result = run({"-fdir", "-fpart.nc"});
    EXPECT_EQ(result.output, kBanner + refused +
                                 "dir': Is a directory\nOptions after -fdir not run: the download "
                                 "did not run to the end\n");
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(sim_.log(), "");
}

TEST(DownloadOptions, ChannelAndRateThenDownloadOnTheNewChannel) {
    Rig rig;
    auto& [dir, com1] = rig;
    Sim com2({}, "com2");
    ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), kPart));
    auto result = rig.run({"-cCOM2", "-b9600", "-fpart.nc"}, "", {{"VQDNC_COM2", com2.link()}});
    EXPECT_EQ(result.output, kBanner + "Com channel set to COM2,115200,N,1\n" + shown(false));
    EXPECT_EQ(com2.log(), sent_bytes());
    EXPECT_EQ(com1.log(), "");
    EXPECT_EQ(result.exit_status, 1);
}

// In a terminal the download's status line stands on the bottom row while the
// output scrolls above it; afterwards the screen holds the output alone and
// scrolls whole again.
TEST(DownloadProgress, StatusLineInATerminalLeavesACleanScreen) {
    Rig rig({"--byte-delay-us", "4000"});
    auto& [dir, sim] = rig;
    std::string part;
    std::string expected = kBanner + vqtest::no_log_notice() + "\n-";
    for (int i = 1; i <= 20; ++i) {
        part += "G01 X" + std::to_string(i) + "\n";
        expected += "G01 X" + std::to_string(i) + "\nok-";
    }
    ASSERT_TRUE(vqtest::write_file(dir.file("part.nc"), part));
    auto tmux = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-S", rig.dir.file("tmux"), "-f", "/dev/null"});
        // The server's environment outlives each call's own state directory.
        return run_program(vqtest::find_tool("tmux"), args, "",
                           rig.env({{"XDG_STATE_HOME", rig.dir.path()}}))
            .output;
    };
    auto screen_shows = [&](const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + vqtest::kWaitTimeout;
        while (tmux({"capture-pane", "-pJ"}).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(vqtest::Millis(10));
        }
        return true;
    };
    tmux({"new-session", "-d", "-x", "80", "-y", "30", "-c", dir.path(),
          vqtest::vqdnc_path() + " -fpart.nc; echo END; sleep 30"});
    EXPECT_TRUE(screen_shows("\npart.nc  line "));
    EXPECT_TRUE(screen_shows("END"));
    std::string screen = tmux({"capture-pane", "-pJ"});
    screen.erase(screen.find_last_not_of('\n') + 1);
    // On a terminal a download that ran through says so, with its time and rate.
    const std::size_t done = screen.find("\nDownload of 'part.nc' done: 20 lines sent in 0:0");
    EXPECT_EQ(screen.substr(0, done), expected);
    EXPECT_TRUE(screen.ends_with(" lines/s\nEND")) << screen;
    EXPECT_EQ(tmux({"display-message", "-p", "#{scroll_region_lower}"}), "29\n");
    tmux({"kill-server"});
}
// A start on a terminal gives back the scroll region a killed run's progress
// line kept.
TEST(DownloadProgress, StartOnATerminalResetsTheScrollRegion) {
    Rig rig;
    auto program = rig.start({"-h"}, {{"TERM", "xterm"}}, vqtest::Console::kPty);
    EXPECT_TRUE(program->finish().output.starts_with("\0337\033[r\0338VQ318G DNC Program V1.05"));
}

// The file changed under a running download: the lines read before the change
// go out, none read after it; a file that only grows at its end goes out
// whole, what was added included, and one removed goes on from what is open.
TEST(ChangedFile, NothingReadAfterAChangeIsSent) {
    std::string part;
    for (int i = 1; i <= 1000; ++i)
        part += "G01 X" + std::to_string(i) + " Y" + std::to_string(i) + "\n";
    const std::string first_block = part.substr(0, part.rfind('\n', 4095) + 1);
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"cp part.nc new.nc && sed -i 's/X1 /X9 /' new.nc && mv new.nc part.nc", first_block},
        {"printf 'G01 X9' | dd of=part.nc conv=notrunc status=none", first_block},
        {"truncate -s 20 part.nc", first_block},
        {"rm part.nc", part},  // what vqdnc holds open is still the file it showed
        {"echo M30 >> part.nc", part + "M30\n"},
    };
    for (const auto& [change, sent] : rows) {
        Rig rig({"--byte-delay-us", "100"});
        rig.dir.write("part.nc", part);
        auto program = rig.start({"-fpart.nc"});
        ASSERT_TRUE(rig.sim.wait_log("G01 X5 Y5\n"));
        ASSERT_EQ(run_program("/bin/sh", {"-c", change}, "", {}, rig.dir.path()).exit_status, 0);
        const vqtest::RunResult result = program->finish();
        EXPECT_EQ(rig.sim.log(), sent) << change;
        EXPECT_EQ(result.exit_status, sent == first_block ? 2 : 1) << change;
        const bool stopped = result.output.find(
                                 "stopped: the file changed after vqdnc read it: "
                                 "nothing read after the change was sent\n") != std::string::npos;
        EXPECT_EQ(stopped, sent == first_block);
    }
}

}  // namespace
