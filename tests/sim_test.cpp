// End-to-end tests of vqsim: a client opens the simulator's device the way
// vqdnc does and checks what the board sends back.

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "harness.h"

namespace {

using vqtest::PortClient;
using vqtest::Sim;

// Every byte value once, starting mid-line so 'v' is no query, without line feeds.
std::string all_bytes_but_line_feed() {
    std::string bytes = "x";
    for (int b = 0; b < 256; ++b) {
        if (b != '\n') bytes.push_back(static_cast<char>(b));
    }
    return bytes;
}

// Counts the status lines of a query answer: each ends in "\r\n" and the prompt.
int status_lines(const std::string& text, char prompt) {
    int count = 0;
    const std::string end = std::string("\r\n") + prompt;
    for (std::size_t pos = text.find(end); pos != std::string::npos;
         pos = text.find(end, pos + 1)) {
        ++count;
    }
    return count;
}

TEST(SimProtocol, EchoesEveryByteValueUnchanged) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    PortClient port(sim.link());
    ASSERT_TRUE(port.is_open());
    const std::string bytes = all_bytes_but_line_feed();
    ASSERT_TRUE(port.send(bytes));
    ASSERT_TRUE(port.wait_bytes(bytes.size()));
    EXPECT_EQ(port.received(), bytes);  // no answer: no line has ended
}

TEST(SimProtocol, AnswersEachLineWithAnswerThenPrompt) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    PortClient port(sim.link());
    ASSERT_TRUE(port.send("G1 X1\n"));
    ASSERT_TRUE(port.expect("G1 X1\nok\n-"));
    ASSERT_TRUE(port.send("\nM30\n"));
    ASSERT_TRUE(port.expect("\nok\n-M30\nok\n-"));
    EXPECT_EQ(port.received(), "G1 X1\nok\n-\nok\n-M30\nok\n-");
}

TEST(SimProtocol, CustomPromptAndAnswerWithEscapes) {
    Sim sim({"--prompt", "\\x3e", "--answer", "A\\r\\n\\x2d\\\\\\t\\x00\\xff"});
    ASSERT_TRUE(sim.ready());
    PortClient port(sim.link());
    ASSERT_TRUE(port.send("L\n"));
    const std::string expected = std::string("L\nA\r\n-\\\t") + '\0' + '\xff' + '>';
    ASSERT_TRUE(port.wait_bytes(expected.size()));
    EXPECT_EQ(port.received(), expected);
}

TEST(SimProtocol, EmptyAnswerSendsOnlyThePrompt) {
    Sim sim({"--answer", ""});
    ASSERT_TRUE(sim.ready());
    PortClient port(sim.link());
    ASSERT_TRUE(port.send("L\nZ"));
    ASSERT_TRUE(port.expect("Z"));
    EXPECT_EQ(port.received(), "L\n-Z");
}

TEST(SimProtocol, StatusQueryOnlyAtStartOfLine) {
    Sim sim({"--prompt", "*"});
    ASSERT_TRUE(sim.ready());
    PortClient port(sim.link());

    // First byte ever: a query, echoed and answered with four lines.
    ASSERT_TRUE(port.send("v"));
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(port.expect("\r\n*"));
    EXPECT_EQ(port.received()[0], 'v');
    EXPECT_EQ(status_lines(port.received(), '*'), 4);
    for (const char c : port.received())
        EXPECT_TRUE(c >= ' ' || c == '\r' || c == '\n');

    // Still at the start of a line, so a second 'v' is a query again; 'v' inside
    // a line is only echoed, and after a line feed it is a query once more.
    ASSERT_TRUE(port.send("vxv\nv"));
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(port.expect("\r\n*"));
    ASSERT_TRUE(port.expect("xv\nok\n*v"));
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(port.expect("\r\n*"));
    EXPECT_EQ(status_lines(port.received(), '*'), 12);
}

TEST(SimQuiet, SilentEchoesButNeverAnswers) {
    Sim sim({"--silent"});
    ASSERT_TRUE(sim.ready());
    PortClient port(sim.link());
    // Any answer to the query or the line would come before the echo of 'Z'.
    ASSERT_TRUE(port.send("vL\nZ"));
    ASSERT_TRUE(port.expect("Z"));
    EXPECT_EQ(port.received(), "vL\nZ");
}

TEST(SimQuiet, NoEchoStillAnswers) {
    Sim sim({"--no-echo"});
    ASSERT_TRUE(sim.ready());
    PortClient port(sim.link());
    ASSERT_TRUE(port.send("L\n"));
    ASSERT_TRUE(port.expect("ok\n-"));
    EXPECT_EQ(port.received(), "ok\n-");
    ASSERT_TRUE(port.send("v"));
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(port.expect("\r\n-"));
    EXPECT_NE(port.received()[4], 'v');  // the query itself is not echoed
}

TEST(SimQuiet, SilentWithoutEchoSendsNothing) {
    Sim sim({"--silent", "--no-echo"});
    ASSERT_TRUE(sim.ready());
    PortClient port(sim.link());
    ASSERT_TRUE(port.send("vL\nZ"));
    ASSERT_TRUE(sim.wait_log("vL\nZ"));
    port.read_for(vqtest::Millis(200));
    EXPECT_EQ(port.received(), "");
}

TEST(SimLog, RecordsExactlyTheBytesReceived) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    PortClient port(sim.link());
    const std::string sent = "v" + all_bytes_but_line_feed() + "\nG1\n";
    ASSERT_TRUE(port.send(sent));
    ASSERT_TRUE(port.expect("G1\nok\n-"));
    EXPECT_EQ(sim.log(), sent);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.log(), sent);  // still there after vqsim has gone
}

TEST(SimLine, ReopeningMidStreamLosesNoByte) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    std::string expected_log;
    for (int i = 0; i < 5; ++i) {
        const std::string line = "L" + std::to_string(i) + "\n";
        {
            // Send and close at once: the echo and answer wait for the next open.
            PortClient port(sim.link());
            ASSERT_TRUE(port.is_open());
            ASSERT_TRUE(port.send(line));
        }
        PortClient port(sim.link());
        ASSERT_TRUE(port.expect(line + "ok\n-"));
        EXPECT_EQ(port.received(), line + "ok\n-");
        expected_log += line;
    }
    EXPECT_EQ(sim.log(), expected_log);
}

TEST(SimLine, HangsUpAfterAnsweringTheNthLine) {
    Sim sim({"--hangup-after", "2"});
    ASSERT_TRUE(sim.ready());
    PortClient port(sim.link());
    ASSERT_TRUE(port.send("L1\nL2\nL3\n"));
    ASSERT_TRUE(port.wait_hangup());
    // The second answer arrives before the hang-up; nothing of the third line does.
    EXPECT_EQ(port.received(), "L1\nok\n-L2\nok\n-");
    ASSERT_TRUE(sim.wait_exit());
    EXPECT_EQ(sim.exit_status(), 0);
    EXPECT_FALSE(vqtest::path_exists(sim.link()));
}

// Held bytes, behind an adapter's timer or its event character, come out
// whole and in order.
TEST(SimLine, PacedOutputStillWorks) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--emulate-rate"},
             {"--byte-delay-us", "200"},
             {"--latency-timer", "16"},
             {"--emulate-rate", "--latency-timer", "16", "--event-char", "-"},
             {"--latency-timer", "2", "--event-char", "\\r"}}) {
        SCOPED_TRACE(args[0] + " " + args.back());
        Sim sim(args);
        ASSERT_TRUE(sim.ready());
        for (const speed_t rate : {B9600, B115200}) {
            PortClient port(sim.link(), rate);
            ASSERT_TRUE(port.send("G1\nv"));
            ASSERT_TRUE(port.expect("G1\nok\n-v"));
            for (int i = 0; i < 4; ++i)
                ASSERT_TRUE(port.expect("\r\n-"));
        }
    }
}

TEST(SimLifetime, StopSignalsRemoveTheLink) {
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        Sim sim;
        ASSERT_TRUE(sim.ready());
        ASSERT_TRUE(vqtest::path_exists(sim.link()));
        sim.signal(sig);
        ASSERT_TRUE(sim.wait_exit());
        EXPECT_EQ(sim.exit_status(), 0);
        EXPECT_FALSE(vqtest::path_exists(sim.link()));
    }
}

TEST(SimLifetime, TwoBoardsSideBySide) {
    vqtest::TempDir dir;
    Sim com1({"--answer", "one\\n"}, "com1", dir.path());
    Sim com2({"--answer", "two\\n"}, "com2", dir.path());
    ASSERT_TRUE(com1.ready());
    ASSERT_TRUE(com2.ready());
    EXPECT_NE(com1.device(), com2.device());
    PortClient port1(com1.link());
    PortClient port2(com2.link());
    ASSERT_TRUE(port1.send("a\n"));
    ASSERT_TRUE(port2.send("b\n"));
    EXPECT_TRUE(port1.expect("a\none\n-"));
    EXPECT_TRUE(port2.expect("b\ntwo\n-"));
}

TEST(SimLifetime, WithoutLinkPrintsTheDevice) {
    vqtest::Process sim(vqtest::vqsim_path(), {});
    ASSERT_TRUE(sim.expect("vqsim: ready on /dev/"));
    ASSERT_TRUE(sim.expect("\n"));
    const std::string& out = sim.output();
    const std::size_t start = out.find("/dev/");
    PortClient port(out.substr(start, out.find('\n', start) - start));
    ASSERT_TRUE(port.send("L\n"));
    EXPECT_TRUE(port.expect("L\nok\n-"));
}

TEST(SimLifetime, HelpAndBadOptions) {
    const auto help = vqtest::run_program(vqtest::vqsim_path(), {"--help"}, "");
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.output.find("--hangup-after"), std::string::npos);
    for (const char* bad : {"--prompt=ab", "--answer=\\q", "--hangup-after=0", "--nonsense"}) {
        SCOPED_TRACE(bad);
        const auto result = vqtest::run_program(vqtest::vqsim_path(), {bad}, "");
        EXPECT_EQ(result.exit_status, 2);
        EXPECT_NE(result.output.find("vqsim: "), std::string::npos);
    }
}

}  // namespace
