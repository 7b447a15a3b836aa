// The vacuum head processor on a fake console, keyboard and controller.
#include "jobs/vacuum_head.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

#include "control/settings.h"
#include "jobs/number_reader.h"
#include "tests/fakes/fake_keyboard.h"
#include "tests/fakes/fake_platform.h"
#include "tests/screens.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using vqtest::kAdjustPrompt;
using vqtest::kHeader;
using vqtest::kLiftLine;
using vqtest::kPlaceLines;

class VacuumHead : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::reset_keyboard();
        settings = Settings{};
    }
    // The controller echoes each line and answers "ok" and its prompt.
    static void controller_answers(const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            fake::controller_sends(line + "ok\n-");
    }
    // Runs the processor with `console` as what follows the v word.
    static std::string run(const std::string& console) {
        fake::state.console = console;
        fake::state.console_pos = 0;
        CaptureStdout();
        run_vacuum_head();
        return GetCapturedStdout();
    }
    static std::string console_left() {
        return fake::state.console.substr(fake::state.console_pos);
    }
    static std::string shown(const std::string& line) { return line + "ok\n-"; }
};

TEST_F(VacuumHead, LiftSendsOneMoveAndWaitsForThePrompt) {
    controller_answers({kLiftLine});
    EXPECT_EQ(run("\nle\n"), kHeader + "l\n lift part" + shown(kLiftLine) + "\n=e\n=");
    EXPECT_EQ(fake::state.sent, kLiftLine);
    EXPECT_TRUE(fake::state.incoming.empty());
    EXPECT_EQ(console_left(), "\n");
}

TEST_F(VacuumHead, PlaceMovesDownDwellsAndReturnsToZeroAtTheLiftRate) {
    controller_answers({"N1 G1 X-0.0500 F5.0000\n", "N1 G04 P2\n", "N1 G1 X0.0000 F5.0000\n"});
    // The whole place line is echo: the '-' inside it is not taken for the prompt.
    EXPECT_EQ(run(" pe"), kHeader + "p\n place part" + shown("N1 G1 X-0.0500 F5.0000\n") +
                              " - dwell" + shown("N1 G04 P2\n") + " - lift part" +
                              shown("N1 G1 X0.0000 F5.0000\n") + "\n=e\n=");
    EXPECT_EQ(fake::state.sent, kPlaceLines);
}

TEST_F(VacuumHead, LostLinkEndsAPlaceAndTheProcessorGoesOn) {
    fake::controller_sends("N1 G1 X-0.0500 F5.0000\nok\n-", 1);
    fake::state.lost_at = 1;
    fake::state.lost_errno = ENXIO;
    EXPECT_EQ(run(" pe"), kHeader + "p\n place part" + shown("N1 G1 X-0.0500 F5.0000\n") +
                              " - dwell\nLink lost on COM1 (fake1): the device was removed - port "
                              "closed\n\n=e\n=");
    EXPECT_EQ(fake::state.sent, "N1 G1 X-0.0500 F5.0000\n");
}

// A changed echo of the move ends the place before its dwell; the run did not go through.
TEST_F(VacuumHead, ChangedEchoEndsAPlaceBeforeItsDwell) {
    controller_answers({"N1 G1 X-0.0501 F5.0000\n", "N1 G04 P2\n"});
    fake::state.console = " pe";
    CaptureStdout();
    EXPECT_FALSE(run_vacuum_head());
    GetCapturedStdout();
    EXPECT_EQ(fake::state.sent, "N1 G1 X-0.0500 F5.0000\n");
}

TEST_F(VacuumHead, UpperCaseActsAndOtherKeysOnlyEchoInLowerCase) {
    controller_answers({kLiftLine});
    EXPECT_EQ(run("\nLx\x01\x7f\t\xc9Q\nE"), kHeader + "l\n lift part" + shown(kLiftLine) +
                                                 "\n=x\n=\x01\n=\x7f\n=\t\n=\xc9\n=q\n=\n\n=e\n=");
    EXPECT_EQ(fake::state.sent, kLiftLine);
}

TEST_F(VacuumHead, NumbersAreTypedInLineModeAndKeysTakenInKeyMode) {
    run("\na1 2 3 4\ne");
    // Key mode from the start, line mode for the numbers line, back after its
    // line end, and line mode again before the final prompt.
    EXPECT_EQ(fake::keyboard.switches, "K0L2K10L11");
    EXPECT_FALSE(fake::keyboard.key_read_in_line_mode);
}

TEST_F(VacuumHead, WidestValuesFitTheMoveLine) {
    const std::string widest = "-340282346638528859811704183484516925440.0000";
    controller_answers({"N1 G1 X" + widest + " F" + widest + "\n"});
    run("\na-3.4028234e38 -3.4028234e38 0 0\nle");
    EXPECT_EQ(fake::state.sent, "N1 G1 X" + widest + " F" + widest + "\n");
    EXPECT_EQ(fake::state.sent.size(), 100u);
    EXPECT_TRUE(fake::state.incoming.empty());  // its echo count was the whole line
}

// What the numbers line sets, and what of it is left for the console loop
// once the processor has ended.
struct NumbersCase {
    const char* name;
    const char* typed;
    const char* settings;
    const char* left;
};

void PrintTo(const NumbersCase& c, std::ostream* out) {
    *out << c.name;
}

class Numbers : public VacuumHead, public testing::WithParamInterface<NumbersCase> {};

TEST_P(Numbers, ReadAsScanfDoesAndUnreadRestStaysForTheConsole) {
    const NumbersCase& c = GetParam();
    std::string out = run(std::string("\na") + c.typed + "e\n");
    EXPECT_EQ(out, kHeader + "a" + kAdjustPrompt + "New settings: " + c.settings + "\n=\n=e\n=");
    EXPECT_EQ(console_left(), std::string(c.left) + "\n");
    EXPECT_EQ(fake::state.sent, "");
}

INSTANTIATE_TEST_SUITE_P(
    VacuumHead, Numbers,
    testing::Values(
        NumbersCase{"FourNumbers", "1 2 3 4\n", "1.0000 2.0000 3.0000 4.0000", "\n"},
        NumbersCase{"BlanksBetween", "  1\n2\n\t3 4\n", "1.0000 2.0000 3.0000 4.0000", "\n"},
        NumbersCase{"SignsPointsAndHex", ".5 -.5e1 +2. 0x1p-1\n", "0.5000 -5.0000 2.0000 0.5000",
                    "\n"},
        NumbersCase{"SecondPoint", "1.5.3 4 5\n", "1.5000 0.3000 4.0000 5.0000", "\n"},
        NumbersCase{"RestAfterFour", "1 2 3 4 q\n", "1.0000 2.0000 3.0000 4.0000", " q\n"},
        // The first number that cannot be read leaves it and the rest unchanged.
        NumbersCase{"Unreadable", "0.3 x5 7 8\n", "0.3000 5.0000 -0.0500 5.0000", "x5 7 8\n"},
        NumbersCase{"LoneSign", "1 -\n", "1.0000 5.0000 -0.0500 5.0000", "\n"},
        // A run that breaks off is consumed; the character after it stays.
        NumbersCase{"BrokenExponent", "1e+x 2 3 4\n", "0.1500 5.0000 -0.0500 5.0000", "x 2 3 4\n"},
        NumbersCase{"BrokenHex", "0x 5\n", "0.1500 5.0000 -0.0500 5.0000", " 5\n"},
        // No move line may carry infinity or a value beyond 32 bits.
        NumbersCase{"Infinity", "9 inf 2 3\n", "9.0000 5.0000 -0.0500 5.0000", " 2 3\n"},
        NumbersCase{"NotANumber", "nan(1) 2 3 4\n", "0.1500 5.0000 -0.0500 5.0000", " 2 3 4\n"},
        NumbersCase{"BeyondFloat", "1e39 2 3 4\n", "0.1500 5.0000 -0.0500 5.0000", " 2 3 4\n"},
        NumbersCase{"Underflow", "1e-50 2 3 4\n", "0.0000 2.0000 3.0000 4.0000", "\n"}),
    [](const testing::TestParamInfo<NumbersCase>& info) { return std::string(info.param.name); });

// The number reader on its own: what one read takes from the console, the
// value it gives, and where it stops.
TEST(NumberReader, ReadsOneNumberAsScanfDoes) {
    const std::string longest = "1." + std::string(125, '0');  // the longest text kept
    struct Case {
        std::string typed;
        bool read;
        float value;
        std::string left;
    } cases[] = {
        {" \t\n 2.5x", true, 2.5f, "x"},
        {"-0X1.8P1 ", true, -3.0f, " "},
        {"1e5e", true, 1e5f, "e"},
        {"3.4028235e38", true, 3.4028235e38f, ""},
        {longest + ";", true, 1.0f, ";"},
        {longest + "0;", false, 0.0f, ";"},
        {"", false, 0.0f, ""},
        {"+.e1", false, 0.0f, "e1"},
        {"infinite", false, 0.0f, "e"},
        {"NaN(a_1", false, 0.0f, ""},
        {"3.5e38", false, 0.0f, ""},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::state.console = c.typed;
        float value = 0.0f;
        EXPECT_EQ(read_number(value), c.read) << c.typed;
        EXPECT_EQ(value, c.value) << c.typed;
        EXPECT_EQ(fake::state.console.substr(fake::state.console_pos), c.left) << c.typed;
    }
}

TEST_F(VacuumHead, HeldInputComesBeforeWhatFollowsTheProcessor) {
    run("\na1 x\na2 y\ne\nh\n");
    EXPECT_EQ(console_left(), "x\ny\n\nh\n");
}

TEST_F(VacuumHead, NumberTooLongToHoldCountsAsUnreadable) {
    std::string digits(200, '1');
    std::string out = run("\na3 " + digits + " 4\ne");
    EXPECT_NE(out.find("New settings: 3.0000 5.0000 -0.0500 5.0000\n="), std::string::npos);
    EXPECT_EQ(console_left(), " 4\n");
}

TEST_F(VacuumHead, RestTooLongToHoldIsDroppedWhole) {
    std::string rest = " f" + std::string(5000, 'x') + "\n";
    run("\na1 2 3 4" + rest + "e\nh");
    EXPECT_EQ(console_left(), "\nh");
}

TEST_F(VacuumHead, EndOfInputEndsTheProcessorAnywhere) {
    EXPECT_EQ(run(""), kHeader);
    EXPECT_EQ(run("\n"), kHeader);
    EXPECT_EQ(run("\na1 2"),
              kHeader + "a" + kAdjustPrompt + "New settings: 1.0000 2.0000 -0.0500 5.0000\n=\n=");
    EXPECT_FALSE(fake::keyboard.key_mode);
    EXPECT_EQ(fake::state.sent, "");
}

}  // namespace
