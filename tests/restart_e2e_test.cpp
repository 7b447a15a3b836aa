// End to end: nothing of a resume goes out before the operator's Enter, no escape
// sequence where TERM cannot take one; Ctrl-C during a place and a typed line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "harness.h"

namespace {

using vqtest::Rig;

TEST(ResumeOnATerminal, EnterSendsAnyOtherKeySendsNothing) {
    for (const char* term : {"dumb", ""}) {
        Rig rig;
        rig.dir.write("part.nc", "G21 G91\nG1 X1\nM30\n");
        auto program = rig.start({}, {{"TERM", term}}, vqtest::Console::kPty);
        const std::string question = "Enter sends from line 2 on, any other key sends nothing: ";
        ASSERT_TRUE(program->send("r2 fpart.nc\n"));
        ASSERT_TRUE(program->expect(question));
        ASSERT_TRUE(program->send("x"));
        ASSERT_TRUE(program->expect("Nothing of 'part.nc' sent"));
        ASSERT_TRUE(program->expect("To resume: cCOM1 b115200 r2 f" + rig.dir.file("part.nc")));
        EXPECT_EQ(rig.sim.log(), "");
        // The e typed with the command runs once the download is done.
        ASSERT_TRUE(program->send("r2 fpart.nc e\n"));
        ASSERT_TRUE(program->expect(question));
        ASSERT_TRUE(program->send("\r"));
        EXPECT_TRUE(program->expect("Download of 'part.nc' done from line 2: 2 lines sent in 0:0"));
        EXPECT_EQ(program->finish().exit_status, 1);
        EXPECT_EQ(rig.sim.log(), "G1 X1\nM30\n");
        EXPECT_EQ(program->output().find('\033'), std::string::npos) << term;
    }
}

// The file changed while the operator read the summary: nothing goes out,
// unless it only grew at its end.
TEST(ResumeOnATerminal, FileChangedBeforeEnterSendsNothing) {
    for (const char* change : {"G21 G91\nG1 X9\nM30\n", "G21 G91\nG1 X1\nM30\nM2\n"}) {
        Rig rig;
        rig.dir.write("part.nc", "G21 G91\nG1 X1\nM30\n");
        auto program = rig.start({}, {}, vqtest::Console::kPty);
        ASSERT_TRUE(program->send("r2 fpart.nc\n"));
        ASSERT_TRUE(program->expect("any other key sends nothing: "));
        usleep(10'000);  // a later write shows in the file's time
        vqtest::write_file(rig.dir.file("part.nc"), change);
        ASSERT_TRUE(program->send("\re\n"));
        EXPECT_EQ(program->finish().exit_status, 1);
        const bool grown = std::string_view(change).ends_with("M2\n");
        EXPECT_EQ(rig.sim.log(), grown ? "G1 X1\nM30\nM2\n" : "");
        EXPECT_EQ(program->output().find("stopped: the file changed") == std::string::npos, grown);
    }
}

// --check reads the file as a download would and sends nothing: the same
// summary as a resume, the lines a download refuses, exit 2 for those.
TEST(Check, TellsWhatADownloadWouldDoWithoutAPort) {
    Rig rig;
    rig.dir.write("part.nc", "G21 G91\n(start) N10 G2 I-45\nN20 M30\n");
    rig.dir.write("bad.nc", std::string_view("\0G1\n\x01M30\n", 10));
    const auto summary = [](const std::string& shown) {
        return shown.substr(shown.find("Lines 1-"));
    };
    const auto checked = rig.run({"--check", "part.nc", "-rN10"});
    EXPECT_EQ(checked.exit_status, 0);
    EXPECT_EQ(checked.output.substr(0, checked.output.find("Lines 1-")),
              "Check of 'part.nc', read as a download reads it; nothing is sent\nN10 is line 2 of "
              "'part.nc'\n  3 lines; the longest, line 2, has 19 characters\n  28 bytes to send "
              "from line 2: 0:01 on the wire at 115200 baud\n");
    const auto resumed = rig.run({"-rN10", "-fpart.nc"});
    EXPECT_EQ(summary(checked.output),
              summary(resumed.output).substr(0, summary(checked.output).size()));
    const auto refused = rig.run({"--check", "bad.nc"});
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_NE(refused.output.find("  Line 1: text after a NUL byte: a download stops before it\n  "
                                  "Line 2: control characters other than tab and carriage return: "
                                  "sent as they are\n"),
              std::string::npos)
        << refused.output;
    EXPECT_EQ(rig.sim.log(), "(start) N10 G2 I-45\nN20 M30\n");  // the resume's, not the checks'
}

TEST(CtrlC, StopsAPlaceAfterItsMoveInFlightAndATypedLineAfterItself) {
    Rig rig({"--byte-delay-us", "20000"});
    auto program = rig.start();
    ASSERT_TRUE(program->send("v\np\n"));
    ASSERT_TRUE(rig.sim.wait_log("N1 G1 X-0.0500 F5.0000\n"));
    program->signal(SIGINT);
    ASSERT_TRUE(program->expect("\nVacuum head stopped (Ctrl-C)\n"));
    ASSERT_TRUE(program->send("N1 G01 X1\n"));
    ASSERT_TRUE(rig.sim.wait_log("N1 G01 X1\n"));
    program->signal(SIGINT);
    ASSERT_TRUE(program->expect("N1 G01 X1\nok\n-"));
    ASSERT_TRUE(program->send("N2 G01 X2\ne\n"));
    EXPECT_EQ(program->finish().exit_status, 1);
    EXPECT_EQ(rig.sim.log(), "N1 G1 X-0.0500 F5.0000\nN1 G01 X1\nN2 G01 X2\n");
}

}  // namespace
