// G-code file download: the line splitter on bytes, and download_file against
// a controller and a clock the tests drive.
#include "jobs/download.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "control/settings.h"
#include "jobs/line_splitter.h"
#include "link/link.h"
#include "tests/fakes/fake_platform.h"
#include "tests/harness.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Lines = std::vector<std::string>;
using namespace std::literals;

// Runs the splitter over `bytes` handed over `chunk` at a time into an output
// of `room` bytes, and returns the line texts it yields.
Lines split(std::string_view bytes, std::size_t chunk = 4096, std::size_t room = 256) {
    LineSplitter splitter;
    Lines lines;
    std::string line;
    std::vector<char> out(room);
    for (std::size_t pos = 0; pos < bytes.size(); pos += chunk) {
        std::string_view input = bytes.substr(pos, chunk);
        while (!input.empty()) {
            SplitResult step = split_lines(splitter, input, out);
            EXPECT_TRUE(step.used > 0 || step.stored > 0) << "no progress";
            line.append(out.data(), step.stored);
            input.remove_prefix(step.used);
            if (step.line_ended) lines.push_back(std::exchange(line, {}));
        }
    }
    if (finish_lines(splitter))
        lines.push_back(line);
    else
        EXPECT_EQ(line, "");
    return lines;
}

TEST(SplitLines, CommentsLineEndsAndEmptyLines) {
    const Lines expected = {"G00 X0", "", " ;sent", "a;b", "G01 X1 F5"};
    EXPECT_EQ(split("G00 X0\r\n; home first\r\n\r\n ;sent\r\na;b\r\n;\r\nG01 X1 F5\r\n"), expected);
    EXPECT_EQ(split("G00 X0\n; home first\n\n ;sent\na;b\n;\nG01 X1 F5\n"), expected);
    EXPECT_EQ(split(""), Lines{});
    EXPECT_EQ(split("; only a comment"), Lines{});
}

TEST(SplitLines, CarriageReturnIsDroppedOnlyAtTheLineEnd) {
    EXPECT_EQ(split("G1\rX2\r\r\n\rY\n"), (Lines{"G1\rX2\r", "\rY"}));
    EXPECT_EQ(split("\r;not a comment\n"), Lines{"\r;not a comment"});
    // The end of the file ends a last line like a line feed.
    EXPECT_EQ(split("G1\nM30"), (Lines{"G1", "M30"}));
    EXPECT_EQ(split("G1\nM30\r"), (Lines{"G1", "M30"}));
}

TEST(SplitLines, NulEndsTheTextAndTheRestOfItsLineIsDropped) {
    EXPECT_EQ(split("G1 X1\0Y2;\r\nG2\n"sv), (Lines{"G1 X1", "G2"}));
    EXPECT_EQ(split("\0;x\n"sv), Lines{""});
    EXPECT_EQ(split("G1\r\0x"sv), Lines{"G1\r"});
    EXPECT_EQ(split(";\0\nA\n"sv), Lines{"A"});
}

TEST(SplitLines, OtherBytesPassUnchanged) {
    std::string line;
    for (int c = 1; c < 256; ++c) {
        if (c != '\n' && c != '\r') line.push_back(static_cast<char>(c));
    }
    EXPECT_EQ(split(line + "\n" + line), (Lines{line, line}));
}

TEST(SplitLines, SameLinesWhateverTheBlockAndBufferSizes) {
    const std::string long_line = "G01" + std::string(1000, 'X') + "\r" + std::string(300, 'Y');
    const std::string bytes = "; part\r\nG21\r\n\r\n" + long_line + "\r\nM30\r";
    const Lines expected = {"G21", "", long_line, "M30"};
    for (std::size_t chunk : {1, 2, 3, 7, 255, 256, 4096}) {
        for (std::size_t room : {1, 2, 3, 255, 256}) {
            EXPECT_EQ(split(bytes, chunk, room), expected) << chunk << " " << room;
        }
    }
}

class Download : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        settings = Settings{};
        open_link();
        path_ = dir_.file("part.nc");
        set_download_path(path_);
    }
    void write(std::string_view bytes) { dir_.write("part.nc", bytes); }
    // The controller echoes each of `lines` with its line feed, answers and prompts.
    void controller_answers(const Lines& lines) {
        for (const std::string& line : lines)
            fake::controller_sends(line + "\nok\r\n-");
    }
    std::string download() {
        CaptureStdout();
        download_file();
        return GetCapturedStdout();
    }
    vqtest::TempDir dir_;
    std::string path_;
};

TEST_F(Download, SendsEachLineAndShowsEchoAndAnswer) {
    write("G00 X0\r\n; home first\r\nG01 X1 F5\r\n");
    controller_answers({"G00 X0", "G01 X1 F5"});
    EXPECT_EQ(download(), "\n-G00 X0\nok\r-G01 X1 F5\nok\r-");
    EXPECT_EQ(fake::state.sent, "G00 X0\nG01 X1 F5\n");
    EXPECT_TRUE(fake::state.incoming.empty());
}

TEST_F(Download, QuietModeShowsOnlyTheEcho) {
    settings.output_mode = 'q';
    write("\nG00 X0\nM30");
    controller_answers({"", "G00 X0", "M30"});
    EXPECT_EQ(download(), "\n-G00 X0M30");
    EXPECT_EQ(fake::state.sent, "\nG00 X0\nM30\n");
}

TEST_F(Download, LongLineGoesWholeAndEachPieceWaitsOnlyForItsEcho) {
    std::string long_line;
    for (int i = 0; long_line.size() < 1000; ++i)
        long_line += " X" + std::to_string(i);
    write("G01" + long_line + "\nM30\n");
    controller_answers({"G01" + long_line, "M30"});
    EXPECT_EQ(download(), "\n-G01" + long_line + "\nok\r-M30\nok\r-");
    EXPECT_EQ(fake::state.sent, "G01" + long_line + "\nM30\n");
    EXPECT_EQ(fake::state.now_ms, 0);  // no wait ran into the time-out
}

TEST_F(Download, SilentControllerStopsItAfterOneTimeOut) {
    write("G1\nG2\n");
    EXPECT_EQ(download(),
              "\n-\nNo byte from the controller on COM1 (fake1) for 1000 s: 'G1\\n' not "
              "acknowledged\nDownload of '" +
                  path_ +
                  "' stopped: the controller did not answer in time\n  The controller "
                  "acknowledged none of its lines\n  Line 1 went out whole but its prompt did not "
                  "come: the controller may or may not have run it\n  To resume: cCOM1 b115200 r1 "
                  "f" +
                  path_ + " (options: -cCOM1 -b115200 -r1 '-f" + path_ + "')\n");
    EXPECT_EQ(fake::state.sent, "G1\n");
    EXPECT_EQ(fake::state.now_ms, REPLY_TIMEOUT_MS + 1);
}

// The controller holds the start of the line: nothing more goes to it.
TEST_F(Download, ChangedEchoOfAPieceStopsItAndHoldsTheLine) {
    const std::string line = "G01" + std::string(600, 'X');
    write(line + "\nM30\n");
    fake::controller_sends(line.substr(0, 300) + "Y");
    EXPECT_NE(download().find("holds an unfinished line: 512 bytes"), std::string::npos);
    EXPECT_EQ(fake::state.sent, line.substr(0, 512));
}

TEST_F(Download, EmptyFileSendsNothing) {
    write("");
    EXPECT_EQ(download(), "\n-");
    EXPECT_EQ(fake::state.sent, "");
}

TEST_F(Download, FileThatCannotBeOpenedIsNamedWithTheReason) {
    EXPECT_EQ(download(), "Cannot open G Code file '" + path_ + "': No such file or directory\n");
    set_download_path(dir_.path());
    EXPECT_EQ(download(), "Cannot open G Code file '" + dir_.path() + "': Is a directory\n");
    EXPECT_EQ(fake::state.sent, "");
}

TEST_F(Download, LineWithTextAfterANulStopsItBeforeThatLine) {
    write("G1\nG2 X1\0 Y2\nG3\n"sv);
    controller_answers({"G1"});
    const std::string shown = download();
    EXPECT_NE(shown.find("\nLine 2 has text after a NUL byte: not sent\nDownload of '" + path_ +
                         "' stopped: a line has text after a NUL byte: it was not sent\n  The "
                         "controller acknowledged line 1 last (G1)\n"),
              std::string::npos)
        << shown;
    EXPECT_EQ(fake::state.sent, "G1\n");
}

}  // namespace
