// Settings tables, the configuration file and the word reader.
#include "control/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "control/word.h"
#include "tests/harness.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(ParseChannel, NamesMatchWholeAndWithoutCase) {
    CaptureStdout();
    EXPECT_EQ(parse_channel("com3"), 2);
    EXPECT_EQ(parse_channel("Com3"), 2);
    EXPECT_EQ(parse_channel("COM1"), 0);
    EXPECT_EQ(parse_channel("COM13"), 12);
    EXPECT_EQ(GetCapturedStdout(), "");
}

const std::string kKept = "  COM2 at 9600 kept - nothing changed\n";

TEST(ParseChannel, UnknownNamesChangeNothingAndSaySo) {
    settings = Settings{.port_number = 1, .rate_code = 5};
    CaptureStdout();
    for (const char* name : {"COM03", "COM14", "COM1x", ""})
        EXPECT_EQ(parse_channel(name), kUnrecognized);
    EXPECT_TRUE(GetCapturedStdout().starts_with("Unrecognized com channel: COM03\n" + kKept +
                                                "Unrecognized com channel: COM14\n"));
}

TEST(ParseRate, UnknownRatesChangeNothingAndSaySo) {
    EXPECT_EQ(parse_rate("57600"), 8);  // the rate's usual name; shown as 57200
    settings = Settings{.port_number = 1, .rate_code = 5};
    CaptureStdout();
    EXPECT_EQ(parse_rate(""), kUnrecognized);
    EXPECT_EQ(parse_rate("1200"), kUnrecognized);  // codes 0 to 2 have no text
    EXPECT_EQ(GetCapturedStdout(),
              "Unrecognized baud rate\n" + kKept + "Unrecognized baud rate\n" + kKept);
}

TEST(RateValue, CodesOutsideTheTableHaveNone) {
    EXPECT_EQ(rate_value(10), 0);
    EXPECT_EQ(rate_value(-1), 0);
}

TEST(DownloadPath, RefusesNamesThatDoNotFit) {
    EXPECT_TRUE(set_download_path(std::string(199, 'a')));
    EXPECT_EQ(std::string(settings.download_path.data()), std::string(199, 'a'));
    EXPECT_FALSE(set_download_path(std::string(200, 'b')));
}

struct StringSource {
    std::string text;
    std::size_t pos = 0;
    int peek() { return pos < text.size() ? static_cast<unsigned char>(text[pos]) : -1; }
    int get() { return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : -1; }
};

TEST(ReadWord, LeavesTheEndingWhiteSpaceUnread) {
    StringSource source{" \t\r\n\v\fG01 X1\n"};
    auto word = read_word<200>(source);
    EXPECT_EQ(word.view(), "G01");
    EXPECT_EQ(source.peek(), ' ');
    EXPECT_EQ(read_word<200>(source).view(), "X1");
    EXPECT_EQ(source.peek(), '\n');
    EXPECT_TRUE(read_word<200>(source).ended);
}

TEST(ReadWord, OverLongWordIsConsumedWholeAndFlagged) {
    StringSource source{std::string(199, 'x') + " " + std::string(250, 'c') + "OM2 e"};
    auto fits = read_word<200>(source);
    EXPECT_EQ(fits.length, 199u);
    EXPECT_FALSE(fits.too_long);
    auto over = read_word<200>(source);
    EXPECT_TRUE(over.too_long);
    EXPECT_EQ(over.length, 199u);
    EXPECT_EQ(over.text[199], '\0');
    // The tail of the long word never comes back as a word of its own.
    EXPECT_EQ(read_word<200>(source).view(), "e");
}

// Runs load_config in a fresh directory holding `contents` as dnconfig.txt.
class ConfigFile : public testing::Test {
protected:
    void SetUp() override {
        old_dir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        settings = Settings{};
    }
    void TearDown() override { std::filesystem::current_path(old_dir_); }
    std::string load(const std::string& contents) {
        dir_.write("dnconfig.txt", contents);
        CaptureStdout();
        EXPECT_EQ(load_config(), 1);
        return GetCapturedStdout();
    }
    vqtest::TempDir dir_;
    std::filesystem::path old_dir_;
};

TEST_F(ConfigFile, MissingFileLeavesDefaultsSilently) {
    CaptureStdout();
    set_defaults();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(settings.port_number, 0);
    EXPECT_EQ(settings.rate_code, 9);
    EXPECT_EQ(settings.prompt_char, '-');
    EXPECT_EQ(settings.output_mode, 'n');
    EXPECT_EQ(settings.link_error, 'n');
    EXPECT_EQ(load_config(), -1);
}

TEST_F(ConfigFile, ExampleFile) {
    EXPECT_EQ(load("comchannel COM3\nbaudrate 38400\npromptchar >\n"), "");
    EXPECT_EQ(settings.port_number, 2);
    EXPECT_EQ(settings.rate_code, 7);
    EXPECT_EQ(settings.prompt_char, '>');
}

// As an editor on another system may save it.
TEST_F(ConfigFile, ByteOrderMarkIsSkipped) {
    EXPECT_EQ(load("\xEF\xBB\xBF"
                   "comchannel COM2\n"),
              "");
    EXPECT_EQ(settings.port_number, 1);
}

TEST_F(ConfigFile, KeysIgnoreCaseValuesSpanLinesLastWins) {
    EXPECT_EQ(load("BaudRate\r\n9600\r\nCOMCHANNEL com2 comchannel\tCOM5 baudrates 2400\n"
                   "PromptChar\n\n  #"),
              "");
    EXPECT_EQ(settings.rate_code, 5);  // "baudrates" is no key, so 2400 is ignored too
    EXPECT_EQ(settings.stop_words, kDefaultStopWords);
    EXPECT_EQ(settings.port_number, 4);
    EXPECT_EQ(settings.prompt_char, '#');
}

// A value not recognised leaves the one before it standing.
TEST_F(ConfigFile, BadValuesPrintAndKeepTheEarlierValue) {
    EXPECT_EQ(load("comchannel COM2 baudrate 9600 baudrate 57601 comchannel COM14\n"),
              "Unrecognized baud rate\n" + kKept + "Unrecognized com channel: COM14\n" + kKept);
    EXPECT_EQ(settings.port_number, 1);
    EXPECT_EQ(settings.rate_code, 5);
}

TEST_F(ConfigFile, KeyWithoutValueAtEndIsTakenAsItsOwnValue) {
    EXPECT_EQ(load("comchannel COM2 baudrate 9600 ComChannel"),
              "Unrecognized com channel: ComChannel\n" + kKept);
    EXPECT_EQ(load("baudrate\n"), "Unrecognized baud rate\n" + kKept);
    EXPECT_EQ(settings.rate_code, 5);
}

TEST_F(ConfigFile, PromptCharAtEndOfFileKeepsThePrompt) {
    EXPECT_EQ(load("promptchar   \n"), "");
    EXPECT_EQ(settings.prompt_char, '-');
}

TEST_F(ConfigFile, OverLongWordsAreOneUnrecognisedWord) {
    std::string long_value = "COM1" + std::string(300, '0');
    std::string out = load("comchannel COM4 comchannel " + long_value + " baudrate 9600\n");
    EXPECT_EQ(out, "Unrecognized com channel: " + long_value.substr(0, 99) +
                       "\n  COM4 at 115200 kept - nothing changed\n");
    EXPECT_EQ(settings.port_number, 3);
    EXPECT_EQ(settings.rate_code, 5);  // the tail of the long word was not read as words
}

// The words a file names replace the built-in ones; none leaves none.
TEST_F(ConfigFile, StopWords) {
    const std::string ignored = " (up to 8 words of up to 31 letters and digits)\n";
    EXPECT_EQ(load("stopword e-stop"), "Stop word ignored: e-stop" + ignored);
    EXPECT_EQ(settings.stop_words, kDefaultStopWords);
    EXPECT_EQ(load("note stopword FAULT E-STOP ERR\nnote StopWord e2 stopword"),
              "Stop word ignored: E-STOP" + ignored);
    EXPECT_EQ(settings.stop_words, (StopWords{{{"fault"}, {"err"}, {"e2"}}}));
    EXPECT_EQ(load("stopword a stopword NONE"), "");
    EXPECT_EQ(settings.stop_words, StopWords{});
    const std::string longest(31, 'x');
    EXPECT_EQ(load("stopword " + longest + " stopword " + longest +
                   "y stopword 1 stopword 2 stopword 3 stopword 4 stopword 5 stopword 6 stopword "
                   "7 stopword 8"),
              "Stop word ignored: " + longest + "y" + ignored + "Stop word ignored: 8" + ignored);
    EXPECT_EQ(std::string(settings.stop_words[0].data()), longest);
    EXPECT_EQ(std::string(settings.stop_words[7].data()), "7");
}

TEST_F(ConfigFile, DefaultsApplyTheFileAndClearTheDownloadPath) {
    set_download_path("part.nc");
    settings.stop_words = {};
    dir_.write("dnconfig.txt", "comchannel COM2\n");
    set_defaults();
    EXPECT_EQ(settings.stop_words, kDefaultStopWords);
    EXPECT_EQ(settings.port_number, 1);
    EXPECT_EQ(settings.download_path[0], '\0');
}

}  // namespace
