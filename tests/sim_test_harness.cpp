// Tests of the end-to-end harness plumbing, run on ordinary system programs.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <csignal>
#include <string>

#include "harness.h"

namespace {

using vqtest::Console;
using vqtest::Process;
using vqtest::run_program;

TEST(Harness, RunFeedsLargeInputWhileReadingOutput) {
    // Far more than a pipe holds, so writing and reading must interleave.
    std::string input;
    for (int i = 0; input.size() < (1u << 20); ++i)
        input += "line " + std::to_string(i) + "\n";
    const auto result = run_program("/bin/cat", {}, input);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(result.output == input);
}

TEST(Harness, RunReportsStatusStderrAndTimeout) {
    auto result = run_program("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"}, "");
    EXPECT_EQ(result.exit_status, 3);
    EXPECT_EQ(result.output, "out\nerr\n");

    result = run_program("/bin/sh", {"-c", "kill -TERM $$"}, "");
    EXPECT_EQ(result.exit_status, 128 + SIGTERM);

    result = run_program("/bin/sleep", {"30"}, "", {}, "", vqtest::Millis(300));
    EXPECT_TRUE(result.timed_out);

    result = run_program("/nonexistent/program", {}, "");
    EXPECT_EQ(result.exit_status, 127);
}

TEST(Harness, EnvironmentAndWorkingDirectory) {
    vqtest::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    dir.write("dnconfig.txt", "x");
    setenv("VQDNC_COM1", "/dev/leaked", 1);
    setenv("VQTEST_KEPT", "kept", 1);
    const auto result = run_program(
        "/bin/sh", {"-c", "echo \"[$VQDNC_COM1][$VQDNC_COM2][$VQTEST_KEPT]\"; cat dnconfig.txt"},
        "", {{"VQDNC_COM2", "/tmp/com2"}}, dir.path());
    unsetenv("VQDNC_COM1");
    unsetenv("VQTEST_KEPT");
    EXPECT_EQ(result.output, "[][/tmp/com2][kept]\nx");
}

TEST(Harness, TempDirIsRemovedWithItsContents) {
    std::string path;
    {
        vqtest::TempDir dir;
        path = dir.path();
        const std::string bytes("bytes\0here", 10);
        dir.write("a", bytes);
        ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
        dir.write("sub/b", "");
        EXPECT_EQ(vqtest::read_file(dir.file("a")), bytes);
    }
    EXPECT_FALSE(vqtest::path_exists(path));
}

TEST(Harness, BackgroundProcessConversation) {
    Process cat("/bin/cat", {});
    ASSERT_TRUE(cat.started());
    ASSERT_TRUE(cat.send("hello\n"));
    ASSERT_TRUE(cat.expect("hello\n"));
    ASSERT_TRUE(cat.send("again\n"));
    ASSERT_TRUE(cat.expect("again"));
    EXPECT_FALSE(cat.expect("hello", vqtest::Millis(50)));  // only after the last match
    cat.close_input();
    ASSERT_TRUE(cat.wait_exit());
    EXPECT_EQ(cat.exit_status(), 0);
    EXPECT_FALSE(cat.expect("never"));  // returns at once: the output has ended
}

TEST(Harness, ConsoleOnPseudoTerminal) {
    Process sh("/bin/sh",
               {"-c", "test -t 0 && test -t 1 && echo on-a-terminal; read line; echo got:$line"},
               {}, "", Console::kPty);
    ASSERT_TRUE(sh.expect("on-a-terminal"));
    ASSERT_TRUE(sh.send("keys\n"));
    ASSERT_TRUE(sh.expect("got:keys"));
    ASSERT_TRUE(sh.wait_exit());
    EXPECT_EQ(sh.exit_status(), 0);
}

}  // namespace
