// The vacuum head processor end to end: vqdnc against vqsim, with the console
// on a pseudo-terminal (so key mode is the real terminal mode) or on a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>

#include "harness.h"
#include "screens.h"

namespace {

using vqtest::Console;
using vqtest::Process;
using vqtest::Rig;
using vqtest::Sim;

const std::string kStartEnd = "change using c or b commands\n\n-";
using vqtest::kAdjustPrompt;
using vqtest::kHeader;
using vqtest::kLiftLine;
using vqtest::kPlaceLines;

// What the console shows for a line the controller echoes and answers with "ok".
std::string shown(const std::string& line) {
    return line + "ok\n-";
}

std::string lift_text(const std::string& line = kLiftLine) {
    return "l\n lift part" + shown(line) + "\n=";
}

std::string place_text(const std::string& down, const std::string& back) {
    return "p\n place part" + shown(down) + " - dwell" + shown("N1 G04 P2\n") + " - lift part" +
           shown(back) + "\n=";
}

// The terminal turns each line feed the program prints into CR LF.
std::string on_terminal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

bool same_mode(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// vqdnc on a pseudo-terminal, talking to vqsim as COM1.
class Terminal : public testing::Test {
protected:
    void start(const std::vector<std::string>& sim_args = {}) {
        rig_ = std::make_unique<Rig>(sim_args);
        sim_ = &rig_->sim;
        ASSERT_TRUE(sim_->ready());
        vq_ = rig_->start({}, {}, Console::kPty);
        ASSERT_TRUE(vq_->started());
        ASSERT_TRUE(vq_->expect(on_terminal(kStartEnd)));
        char path[PATH_MAX] = {};
        std::string link = "/proc/" + std::to_string(vq_->pid()) + "/fd/0";
        ASSERT_GT(readlink(link.c_str(), path, sizeof path - 1), 0);
        terminal_ = path;
        mark_ = vq_->output().size();
        before_ = mode();
    }
    // The terminal's mode as the program's side sees it.
    termios mode() {
        termios t{};
        int fd = open(terminal_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0) << terminal_;
        if (fd >= 0) {
            EXPECT_EQ(tcgetattr(fd, &t), 0);
            close(fd);
        }
        return t;
    }
    // Types `keys` and waits for `shows` (line feeds as the terminal shows them).
    void type(const std::string& keys, const std::string& shows) {
        ASSERT_TRUE(vq_->send(keys));
        ASSERT_TRUE(vq_->expect(on_terminal(shows))) << vq_->unmatched();
    }
    std::string since_start() const { return vq_->output().substr(mark_); }

    std::unique_ptr<Rig> rig_;
    Sim* sim_ = nullptr;
    std::unique_ptr<Process> vq_;
    std::string terminal_;
    std::size_t mark_ = 0;
    termios before_{};
};

TEST_F(Terminal, KeysActAtOnceAndAdjustedValuesLastOneRun) {
    start();
    type("v\n", "v\n" + kHeader);
    termios keys = mode();
    EXPECT_EQ(keys.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(keys.c_lflag & ISIG, 0u);
    EXPECT_EQ(keys.c_oflag, before_.c_oflag);  // line ends still start a new line
    EXPECT_EQ(keys.c_cc[VMIN], 1);

    type("l", lift_text());
    type("P", place_text("N1 G1 X-0.0500 F5.0000\n", "N1 G1 X0.0000 F5.0000\n"));
    type("a", "a" + kAdjustPrompt);
    EXPECT_TRUE(same_mode(mode(), before_)) << "the numbers are typed in line mode";
    type("0.25 7.5 -0.1 2.5\n",
         "0.25 7.5 -0.1 2.5\nNew settings: 0.2500 7.5000 -0.1000 2.5000\n=\n=");
    type("l", lift_text("N1 G1 X0.2500 F7.5000\n"));
    type("p", place_text("N1 G1 X-0.1000 F2.5000\n", "N1 G1 X0.0000 F7.5000\n"));
    type("x", "x\n=");
    type("\x1b[A", "\n=");  // an arrow key: one key, nothing shown of its codes
    type("\x1b[15~", "\n=");
    type("E", "e\n=\n-");
    EXPECT_TRUE(same_mode(mode(), before_));

    type("v\n", "v\n" + kHeader);  // back to the defaults
    type("l", lift_text());
    type("e", "e\n=\n-");
    type("e\n", "e\n");
    EXPECT_EQ(vq_->finish().exit_status, 1);

    EXPECT_EQ(since_start(),
              on_terminal("v\n" + kHeader + lift_text() +
                          place_text("N1 G1 X-0.0500 F5.0000\n", "N1 G1 X0.0000 F5.0000\n") + "a" +
                          kAdjustPrompt +
                          "0.25 7.5 -0.1 2.5\nNew settings: 0.2500 7.5000 -0.1000 2.5000\n=\n=" +
                          lift_text("N1 G1 X0.2500 F7.5000\n") +
                          place_text("N1 G1 X-0.1000 F2.5000\n", "N1 G1 X0.0000 F7.5000\n") +
                          "x\n=\n=\n=e\n=\n-v\n" + kHeader + lift_text() + "e\n=\n-e\n"));
    EXPECT_EQ(sim_->log(), kLiftLine + kPlaceLines +
                               "N1 G1 X0.2500 F7.5000\nN1 G1 X-0.1000 F2.5000\nN1 G04 P2\n"
                               "N1 G1 X0.0000 F7.5000\n" +
                               kLiftLine);
}

TEST_F(Terminal, KeysTypedWhileTheControllerIsBusyAreTakenOneByOne) {
    start({"--byte-delay-us", "3000"});  // a slow controller: each line takes a while
    type("v\n", "v\n" + kHeader);
    type("l", "l\n lift part");
    // Typed during the move, without Enter: neither echoed by the terminal
    // nor held back, they act in turn once the controller is ready.
    ASSERT_TRUE(vq_->send("pL"));
    ASSERT_TRUE(vq_->expect(on_terminal(lift_text())));
    ASSERT_TRUE(vq_->send("e"));
    ASSERT_TRUE(vq_->expect(on_terminal("e\n=\n-")));
    EXPECT_EQ(since_start(),
              on_terminal("v\n" + kHeader + lift_text() +
                          place_text("N1 G1 X-0.0500 F5.0000\n", "N1 G1 X0.0000 F5.0000\n") +
                          lift_text() + "e\n=\n-"));
    EXPECT_EQ(sim_->log(), kLiftLine + kPlaceLines + kLiftLine);
    EXPECT_TRUE(same_mode(mode(), before_));
}

TEST_F(Terminal, UnreadableNumberLeavesTheRestOfItsLineToTheConsole) {
    start();
    type("v\n", "v\n" + kHeader);
    type("a", "a" + kAdjustPrompt);
    type("0.3 x 1\n", "0.3 x 1\nNew settings: 0.3000 5.0000 -0.0500 5.0000\n=\n=");
    type("l", lift_text("N1 G1 X0.3000 F5.0000\n"));
    // After the processor, the console loop takes x as a word, and not the rest of its line.
    type("e", "e\n=\n-" + vqtest::unknown_command("x") + "\n-");
    EXPECT_TRUE(same_mode(mode(), before_));
}

TEST_F(Terminal, RestOfTheVLineIsNoKeyAndEscapeAloneIsEchoed) {
    start();
    type("v lp\n", "v lp\n" + kHeader);
    type("\x1b", "\x1b\n=");
    type("e", "e\n=\n-" + vqtest::unknown_command("lp") + "\n-");  // typed before the processor
    EXPECT_EQ(sim_->log(), "");
}

// A signal that ends the program in the processor, while it waits for the
// controller, leaves the terminal as it was before v.
class TerminalSignal : public Terminal, public testing::WithParamInterface<int> {};

TEST_P(TerminalSignal, EndsTheProgramAndRestoresTheTerminal) {
    start({"--silent"});  // the controller never answers the lift
    type("v fa.nc\n", "v fa.nc\n" + kHeader);
    type("l", "l\n lift part" + kLiftLine);
    if (GetParam() == SIGINT) {
        // Ctrl-C: twice gives up the wait, and at the console it ends the
        // program. The second comes as a signal: a terminal discards output
        // on Ctrl-C, the message too if the program is quick.
        ASSERT_TRUE(vq_->send("\x03"));
        vq_->read_for(vqtest::Millis{300});
        vq_->signal(SIGINT);
        type("",
             "\nStopped waiting for the prompt (Ctrl-C) - the controller may still answer\n\n"
             "Vacuum head stopped (Ctrl-C)\nRest of the line not run: fa.nc\n\n-");
        ASSERT_TRUE(vq_->send("\x03"));
    } else {
        vq_->signal(GetParam());
    }
    auto result = vq_->finish();
    EXPECT_EQ(result.exit_status, 128 + GetParam());
    EXPECT_TRUE(same_mode(mode(), before_));
}

INSTANTIATE_TEST_SUITE_P(VacuumHead, TerminalSignal, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// Ctrl-Z and fg under a job-control shell, vqdnc run by a script as
// scripts/demo.sh does: the shell takes the terminal as soon as the script has
// stopped, while vqdnc may still be in its Ctrl-Z handler.
TEST(JobControl, CtrlZAndFgNeverLeaveTheProgramStopped) {
    Rig rig;
    auto shell = std::make_unique<Process>(
        "/bin/bash", std::vector<std::string>{"--norc", "--noprofile", "-i"},
        rig.env({{"PS1", "$ "}, {"HISTFILE", "/dev/null"}}), rig.dir.path(), Console::kPty);
    ASSERT_TRUE(shell->send("sh -c '\"$0\"; :' " + vqtest::vqdnc_path() + "\n"));  // the script
    ASSERT_TRUE(shell->expect(on_terminal(kStartEnd)));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(shell->send("v\n"));
        ASSERT_TRUE(shell->expect(on_terminal(kHeader)));
        ASSERT_TRUE(shell->send("\x1a"));
        ASSERT_TRUE(shell->expect("Stopped")) << i;
        ASSERT_TRUE(shell->send("fg\n"));
        ASSERT_TRUE(shell->send("l"));  // one key, no Enter: key mode is back
        ASSERT_TRUE(shell->expect(on_terminal(lift_text()))) << i << shell->unmatched();
        ASSERT_TRUE(shell->send("e"));
        ASSERT_TRUE(shell->expect(on_terminal("e\n=\n-")));
    }
    ASSERT_TRUE(shell->send("e\nexit\n"));
    EXPECT_TRUE(shell->wait_exit());
}

// Scripted sessions: keys are the characters of the input stream.
class Pipe : public testing::Test {
protected:
    vqtest::RunResult run(const std::string& input) { return rig_.run({}, input); }
    Rig rig_;
    Sim& sim_ = rig_.sim;
};

TEST_F(Pipe, ScriptedLiftAndPlace) {
    auto result = run("v\nlpe\ne\n");
    EXPECT_EQ(result.exit_status, 1);
    std::string out = result.output;
    ASSERT_NE(out.find(kStartEnd), std::string::npos);
    EXPECT_EQ(out.substr(out.find(kStartEnd) + kStartEnd.size()),
              kHeader + lift_text() +
                  place_text("N1 G1 X-0.0500 F5.0000\n", "N1 G1 X0.0000 F5.0000\n") + "e\n=\n-");
    EXPECT_EQ(sim_.log(), kLiftLine + kPlaceLines);
}

TEST_F(Pipe, EndOfInputEndsTheProcessorThenTheProgram) {
    auto result = run("v\na0.3 x\nl");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_FALSE(result.timed_out);
    std::string out = result.output;
    ASSERT_NE(out.find(kStartEnd), std::string::npos);
    // The held x reaches the console loop as a word before the input ends.
    EXPECT_EQ(out.substr(out.find(kStartEnd) + kStartEnd.size()),
              kHeader + "a" + kAdjustPrompt + "New settings: 0.3000 5.0000 -0.0500 5.0000\n=\n=" +
                  lift_text("N1 G1 X0.3000 F5.0000\n") + "\n-" + vqtest::unknown_command("x") +
                  "\n-");
    EXPECT_EQ(sim_.log(), "N1 G1 X0.3000 F5.0000\n");
}

}  // namespace
