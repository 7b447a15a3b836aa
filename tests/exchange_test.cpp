// The lock-step exchange and typed G-code lines, on a controller and a clock
// the tests drive.
#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>

#include "control/settings.h"
#include "jobs/query.h"
#include "jobs/typed_line.h"
#include "link/link.h"
#include "link/port_state.h"
#include "link/stop_words.h"
#include "tests/fakes/fake_platform.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class Exchange : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        settings = Settings{};
        open_link();
    }
    // Runs await_prompt and returns what it printed; its result goes to `result`.
    std::string await(char prompt, int echo_count, std::int64_t* result = nullptr) {
        CaptureStdout();
        std::int64_t r = await_prompt(prompt, echo_count);
        if (result != nullptr) *result = r;
        return GetCapturedStdout();
    }
};

TEST_F(Exchange, AnswerShowsOnlyItsFirstLineFeed) {
    fake::controller_sends("OK\r\n\r\n-");
    std::int64_t result = -1;
    EXPECT_EQ(await('-', 0, &result), "OK\r\n\r-");
    EXPECT_EQ(result, 0);

    settings.output_mode = 'q';
    fake::controller_sends("OK\r\n\r\n-");
    EXPECT_EQ(await('-', 0), "");
    EXPECT_TRUE(fake::state.incoming.empty());
}

TEST_F(Exchange, EchoIsShownInBothModes) {
    fake::controller_sends("G1 X1-");
    EXPECT_EQ(await('-', 5), "G1 X1-");
    settings.output_mode = 'q';
    fake::controller_sends("G1 X1-");
    EXPECT_EQ(await('-', 5), "G1 X1");
}

TEST_F(Exchange, LineFeedCountStartsAgainInEveryCall) {
    fake::controller_sends("a\nb\n-\nc\nd-");
    EXPECT_EQ(await('-', 0), "a\nb-");
    EXPECT_EQ(await('-', 0), "\ncd-");
}

TEST_F(Exchange, PromptAsLastEchoByteEndsTheWait) {
    fake::controller_sends("X-1-\nok\n-");
    EXPECT_EQ(await('-', 4), "X-1-");
    // A prompt inside the echo does not end it; the rest waits for the next call.
    EXPECT_EQ(fake::state.incoming.size(), 5u);
}

TEST_F(Exchange, BytesPassUnchangedAndPromptComparesAsByte) {
    std::string answer = {'\0', '\x7f', '\x80', '\xfe', '\r', '\xff'};
    fake::controller_sends(answer);
    EXPECT_EQ(await('\xff', 0), answer);
}

std::string silence(const std::string& request) {
    return "\nNo byte from the controller on COM1 (fake1) for 1000 s: '" + request +
           "' not acknowledged\n";
}

TEST_F(Exchange, TimeOutEndsOnlyStrictlyAfterTheLimit) {
    fake::state.wait_step_ms = 1;  // the clock creeps one millisecond per wait
    std::int64_t result = 0;
    EXPECT_EQ(await('-', 0, &result), silence(""));
    EXPECT_EQ(result, REPLY_TIMEOUT_MS + 1);
    EXPECT_EQ(fake::state.now_ms, 1000001);
}

TEST_F(Exchange, ByteJustInsideTheLimitIsTaken) {
    fake::controller_sends("-", 1000000);
    std::int64_t result = -1;
    EXPECT_EQ(await('-', 0, &result), "-");
    EXPECT_EQ(result, 0);
}

TEST_F(Exchange, LimitAppliesToEachByteNotTheWholeAnswer) {
    fake::controller_sends("a", 900000);
    fake::controller_sends("b", 1800000);
    fake::controller_sends("-", 2700000);
    EXPECT_EQ(await('-', 1), "ab-");
}

TEST_F(Exchange, TimeOutInTheEchoReturnsAtOnce) {
    fake::controller_sends("G1");
    std::int64_t result = 0;
    EXPECT_EQ(await('-', 3, &result), "G1" + silence(""));
    EXPECT_EQ(result, 1000001);
}

TEST_F(Exchange, SilentControllerWaitBlocksInsteadOfPolling) {
    std::int64_t result = 0;
    await('-', 0, &result);
    EXPECT_GT(result, REPLY_TIMEOUT_MS);
    EXPECT_LE(fake::state.waits, 2);  // one wait for the whole time, not a loop of polls
}

// The echo of each byte sent is compared with it, also the echo of what is
// read as answer (a line's line feed).
TEST_F(Exchange, EchoIsComparedWithWhatWasSent) {
    const std::string lost =
        "\nThe echo on COM1 differs from what was sent: lock-step with the "
        "controller is lost\n  sent:      ";
    for (auto [sent, from_controller, echo_count, shown] :
         std::vector<std::tuple<std::string, std::string, int, std::string>>{
             {"G1\n", std::string("G1\0\n-", 5), 2,
              "G1" + lost + "'G1\\n'\n  came back: 'G1\\x00'\n"},
             {std::string(40, 'X'), std::string(39, 'X') + "Y", 40,
              std::string(39, 'X') + lost + "'..." + std::string(33, 'X') + "'\n  came back: '..." +
                  std::string(32, 'X') +
                  "Y'\n\nCOM1 holds an unfinished line: 40 bytes of it went out - re-open the "
                  "port with c or b\n"}}) {
        fake::reset();
        open_link();
        ASSERT_TRUE(send_text(sent));
        fake::controller_sends(from_controller);
        std::int64_t result = 1;
        EXPECT_EQ(await('-', echo_count, &result), shown) << sent;
        EXPECT_EQ(result, kEchoDiffers) << sent;
    }
}

TEST(StopWords, WholeWordsCaseBlindAndTheLineThatHoldsOne) {
    settings = Settings{};
    auto line_of = [](std::string_view text) {
        StopWordScan scan;
        scan_begin(scan);
        for (char c : text)
            scan_byte(scan, static_cast<unsigned char>(c));
        scan_end(scan);
        return scan.found ? std::string(stop_line(scan)) + (scan.line_cut ? "..." : "") : "-";
    };
    EXPECT_EQ(line_of("NO ERRORS, TERROR, error2, alarm_"), "NO ERRORS, TERROR, error2, alarm_");
    EXPECT_EQ(line_of("NO ERRORS, TERROR, error2 " + std::string(40, 'x') + "error"), "-");
    EXPECT_EQ(line_of("Error: " + std::string(60, 'x')), "Error: " + std::string(57, 'x') + "...");
    settings.stop_words = {{{"fault"}, {"e2"}}};
    EXPECT_EQ(line_of("ERROR FAULT"), "ERROR FAULT");
    EXPECT_EQ(line_of("ERROR\rE2"), "E2");
}

// The query reads its four answers also when one holds a stop word; on a
// silent controller it ends after one time-out, not four.
TEST_F(Exchange, QueryReadsPastAStopWordAndEndsAtTheFirstTimeOut) {
    fake::controller_sends("vA\r\n-ALARM\r\n-C\r\n-D\r\n-");
    CaptureStdout();
    EXPECT_FALSE(query_controller());
    GetCapturedStdout();
    EXPECT_TRUE(fake::state.incoming.empty());
    CaptureStdout();
    EXPECT_FALSE(query_controller());
    EXPECT_EQ(GetCapturedStdout(), silence("v"));
    EXPECT_EQ(fake::state.now_ms, REPLY_TIMEOUT_MS + 1);
}

TEST_F(Exchange, QuerySendsVAndReadsFourPrompts) {
    fake::controller_sends("OK\r\n\r\n-OK\r\n\r\n-OK\r\n\r\n-OK\r\n\r\n-E");
    CaptureStdout();
    query_controller();
    EXPECT_EQ(GetCapturedStdout(), "OK\r\n\r-OK\r\n\r-OK\r\n\r-OK\r\n\r-");
    EXPECT_EQ(fake::state.sent, "v");
    EXPECT_EQ(fake::state.incoming.size(), 1u);
}

class TypedLine : public Exchange {
protected:
    // Types `console` and runs the g (numbered) or n row for `token`.
    std::string type(const std::string& token, const std::string& console, bool numbered) {
        fake::state.console = console;
        fake::state.console_pos = 0;
        CaptureStdout();
        send_typed_line(token, numbered);
        return GetCapturedStdout();
    }
};

TEST_F(TypedLine, GLineGetsNumberAndKeepsSpacing) {
    fake::controller_sends("n1 G01 X1.5 Y2\nok\n-");
    EXPECT_EQ(type("G01", " X1.5 Y2\nnext", true), "n1 G01 X1.5 Y2\nok\n-");
    EXPECT_EQ(fake::state.sent, "n1 G01 X1.5 Y2\n");
    EXPECT_EQ(fake::state.sent.size(), 15u);
    EXPECT_EQ(fake::state.console.substr(fake::state.console_pos), "next");
}

TEST_F(TypedLine, NLineGoesAsTyped) {
    fake::controller_sends("N20 G00   Z1 ; note\n-");
    EXPECT_EQ(type("N20", " G00   Z1 ; note\n", false), "N20 G00   Z1 ; note\n-");
    EXPECT_EQ(fake::state.sent, "N20 G00   Z1 ; note\n");
}

TEST_F(TypedLine, EchoCountIsTheWholeLine) {
    // Eleven echo bytes are read even though the sixth is the prompt.
    fake::controller_sends("N20 -00 Z1\n-");
    EXPECT_EQ(type("N20", " -00 Z1\n", false), "N20 -00 Z1\n-");
    EXPECT_TRUE(fake::state.incoming.empty());
}

TEST_F(TypedLine, GAloneSendsFiveBytes) {
    fake::controller_sends("n1 g\n-");
    type("g", "\n", true);
    EXPECT_EQ(fake::state.sent, "n1 g\n");
}

TEST_F(TypedLine, CarriageReturnEndsTheLine) {
    fake::controller_sends("n1 g1\r-");
    type("g1", "\r\nX", true);
    EXPECT_FALSE(line_begun());  // complete once sent
    EXPECT_EQ(fake::state.sent, "n1 g1\r");
    EXPECT_EQ(fake::state.console.substr(fake::state.console_pos), "\nX");
}

TEST_F(TypedLine, EndOfInputSendsNothingHalfTyped) {
    EXPECT_EQ(type("G01", " X10 Y", true), "");
    EXPECT_EQ(fake::state.sent, "");
}

TEST_F(TypedLine, LongestLineThatFitsIsSentWhole) {
    std::string rest = " " + std::string(249, 'X') + "\n";  // 3 + 1 + 251 = 255 characters
    fake::controller_sends("n1 G" + rest + "-");
    type("G", rest, true);
    EXPECT_EQ(fake::state.sent, "n1 G" + rest);
}

TEST_F(TypedLine, TooLongLineIsRefusedAndItsRestNeverRunsAsCommands) {
    std::string rest = " " + std::string(251, 'X') + " cCOM2 f/etc/passwd\nh\n";
    EXPECT_EQ(type("G", rest, true), "G Code line too long - not sent (255 characters at most)\n");
    EXPECT_EQ(fake::state.sent, "");
    EXPECT_EQ(fake::state.console.substr(fake::state.console_pos), "h\n");
}

TEST_F(TypedLine, LineEndJustPastTheRoomStillRefuses) {
    std::string rest = " " + std::string(250, 'X') + "\nh";  // 256 with the line end
    EXPECT_NE(type("G", rest, true), "");
    EXPECT_EQ(fake::state.sent, "");
    EXPECT_EQ(fake::state.console.substr(fake::state.console_pos), "h");
}

// The device took four bytes of a line, then nothing: what it never took must
// not follow the operator's re-open, glued to the next line.
TEST_F(TypedLine, ReopenAfterAHeldLineSendsNothingStale) {
    fake::state.takes = 4;
    type("G1", " X1\n", true);  // held after the time-out
    fake::state.takes_again_at = 0;
    reopen_link(settings.port_number);
    fake::controller_sends("n1 G2\n-");
    type("G2", "\n", true);
    EXPECT_EQ(fake::state.sent, "n1 Gn1 G2\n");
}

// While the typed line n1 G1 X1 goes out, the device stops taking bytes, or is
// removed at 7 ms: the line waits as long as each byte goes within the limit,
// else it ends with one message, without polling.
struct SendCase {
    const char* name;
    std::size_t takes;  // bytes the device takes before it stalls
    std::int64_t takes_again_at;
    int lost_errno;
    std::string shown;
    std::size_t sent;
    std::int64_t ends_at;
};

void PrintTo(const SendCase& c, std::ostream* out) {
    *out << c.name;
}

class Sending : public TypedLine, public testing::WithParamInterface<SendCase> {};

TEST_P(Sending, WaitsForEachByteWithinTheLimitAndNeverSplitsALineUnsaid) {
    const SendCase& c = GetParam();
    fake::state.takes = c.takes;
    fake::state.takes_again_at = c.takes_again_at;
    fake::state.lost_at = c.lost_errno != 0 ? 7 : fake::kNever;
    fake::state.lost_errno = c.lost_errno;
    fake::controller_sends("n1 G1 X1\nok\n-", REPLY_TIMEOUT_MS);
    EXPECT_EQ(type("G1", " X1\n", true), c.shown);
    EXPECT_EQ(fake::state.sent, std::string("n1 G1 X1\n").substr(0, c.sent));
    EXPECT_EQ(fake::state.now_ms, c.ends_at);
    EXPECT_LE(fake::state.waits, 3);
}

std::string held(int bytes) {
    return "\nCOM1 holds an unfinished line: " + std::to_string(bytes) +
           " bytes of it went out - re-open the port with c or b\n";
}

INSTANTIATE_TEST_SUITE_P(
    Link, Sending,
    testing::Values(
        SendCase{"RemovedMidLine", 3, fake::kNever, ENODEV,
                 "\nLink lost on COM1 (fake1): the device was removed - port closed" + held(3), 3,
                 7},
        SendCase{"StallPastTheLimit", 4, fake::kNever, 0, held(4), 4, REPLY_TIMEOUT_MS + 1},
        SendCase{"StallJustInsideTheLimit", 4, REPLY_TIMEOUT_MS, 0, "n1 G1 X1\nok\n-", 9,
                 REPLY_TIMEOUT_MS},
        SendCase{"NothingTakenPastTheLimit", 0, fake::kNever, 0,
                 "\nLink lost on COM1 (fake1): Connection timed out - port closed\n", 0,
                 REPLY_TIMEOUT_MS + 1}),
    [](const testing::TestParamInfo<SendCase>& info) { return std::string(info.param.name); });

}  // namespace
