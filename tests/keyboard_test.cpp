// The keyboard and the console stream over real descriptors: key sequences
// from a pipe, key mode on a pseudo-terminal, and Ctrl-Z in key mode.
#include "platform/keyboard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

#include "platform/console.h"

namespace {

// Keys as letters: S for a key sequence, $ for the end of input.
std::string describe(int key) {
    if (key == kKeyEnd) return "$";
    if (key == kKeySequence) return "S";
    return std::string(1, static_cast<char>(key));
}

// Runs `child` in a child process whose standard input is `input_fd`, and
// returns what it wrote to its standard output. Each child has a console
// stream of its own, so one test's end of input cannot touch another.
template <typename Child>
std::string in_child(int input_fd, Child child) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(input_fd, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        child();
        _exit(0);
    }
    close(out[1]);
    std::string got;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        got.append(buf, n);
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return got;
}

void write_keys() {
    std::string keys;
    for (int key = 0; key != kKeyEnd;) {
        while (!key_waiting(1000)) {
        }
        key = read_key();
        keys += describe(key);
    }
    (void)!write(STDOUT_FILENO, keys.data(), keys.size());
}

std::string keys_from_pipe(const std::string& input) {
    int in[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(in[1]);
    std::string keys = in_child(in[0], write_keys);
    close(in[0]);
    return keys;
}

TEST(Keyboard, EachKeySequenceIsOneKey) {
    EXPECT_EQ(keys_from_pipe("l"
                             "\x1b[A"     // arrow
                             "\x1b[1;5C"  // arrow with Ctrl
                             "\x1bOP"     // F1
                             "\x1b[15~"   // F5
                             "\x1b[[A"    // F1 on the Linux console
                             "\x1b"
                             "l"           // Alt-l
                             "\x1b\x1b[B"  // Alt with an arrow
                             "p"
                             "\x1b[" +
                             std::string(300, '1') + "A" +  // no tail of a long one acts
                             std::string(40, '\x1b') + "[P" +
                             "\x1b"),  // the Escape key alone is a key, then the end
              "lSSSSSSSpSS\x1b$");
}

TEST(Console, PushedBackBytesComeFirstInOrder) {
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(write(in[1], "xy", 2), 2);
    close(in[1]);
    std::string got = in_child(in[0], [] {
        std::string seen;
        seen += static_cast<char>(console_get());  // x, now "y" is buffered
        bool fits = console_unget("cd") && console_unget("ab");
        bool too_big = console_unget(std::string(kConsolePushBackSize, 'z'));
        seen += console_buffered() ? "+" : "-";
        for (int c = console_get(); c != kConsoleEnd; c = console_get())
            seen += static_cast<char>(c);
        seen += fits && !too_big ? " ok" : " bad";
        (void)!write(STDOUT_FILENO, seen.data(), seen.size());
    });
    close(in[0]);
    EXPECT_EQ(got, "x+abcdy ok");
}

// Standard input on the slave of a pseudo-terminal, for the length of a test.
class KeyMode : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(tcgetattr(slave_, &before_), 0);
    }
    void TearDown() override {
        close(master_);
        close(slave_);
    }
    termios mode() const {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    bool same_as_before(const termios& t) const {
        return t.c_iflag == before_.c_iflag && t.c_oflag == before_.c_oflag &&
               t.c_cflag == before_.c_cflag && t.c_lflag == before_.c_lflag &&
               std::memcmp(t.c_cc, before_.c_cc, sizeof t.c_cc) == 0;
    }
    int master_ = -1;
    int slave_ = -1;
    termios before_{};
};

TEST_F(KeyMode, KeysComeWithoutEnterOrEchoAndModeComesBack) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(slave_, STDIN_FILENO);
        key_mode_on();
        (void)!write(report[1], "+", 1);
        std::string keys;
        for (int i = 0; i < 2; ++i) {
            while (!key_waiting(1000)) {
            }
            keys += describe(read_key());
        }
        key_mode_off();
        (void)!write(report[1], keys.data(), keys.size());
        _exit(0);
    }
    close(report[1]);
    char buf[8] = {};
    ASSERT_EQ(read(report[0], buf, 1), 1);
    termios keys = mode();
    EXPECT_EQ(keys.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(keys.c_lflag & ISIG, 0u);
    EXPECT_EQ(keys.c_oflag, before_.c_oflag);
    ASSERT_EQ(write(master_, "ab", 2), 2);  // no Enter
    ASSERT_EQ(read(report[0], buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "ab");
    int status = 0;
    waitpid(pid, &status, 0);
    close(report[0]);
    EXPECT_TRUE(same_as_before(mode()));
    // The terminal echoed nothing.
    fcntl(master_, F_SETFL, O_NONBLOCK);
    EXPECT_LE(read(master_, buf, sizeof buf), 0);
}

TEST_F(KeyMode, ModeIsRestoredAtExit) {
    in_child(slave_, [] {
        key_mode_on();
        std::exit(1);
    });
    EXPECT_TRUE(same_as_before(mode()));
}

TEST_F(KeyMode, StoppedProgramLeavesLineModeAndGetsKeyModeBack) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);  // a group of its own, so Ctrl-Z's stop is not discarded
        dup2(slave_, STDIN_FILENO);
        key_mode_on();
        (void)!write(report[1], "on", 2);
        raise(SIGTSTP);
        termios t{};
        tcgetattr(STDIN_FILENO, &t);
        (void)!write(report[1], (t.c_lflag & ICANON) == 0 ? "K" : "L", 1);
        key_mode_off();
        _exit(0);
    }
    close(report[1]);
    char buf[8] = {};
    ASSERT_EQ(read(report[0], buf, 2), 2);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    EXPECT_TRUE(same_as_before(mode()));
    kill(pid, SIGCONT);
    ASSERT_EQ(read(report[0], buf, 1), 1);
    EXPECT_EQ(buf[0], 'K');
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_TRUE(same_as_before(mode()));
    close(report[0]);
}

}  // namespace
