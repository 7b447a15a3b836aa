// Resuming mid-file: the state and warnings the skipped lines leave, the r
// command's forms, where an early end says to resume, the progress figures.
#include "jobs/restart.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control/commands.h"
#include "control/settings.h"
#include "jobs/download.h"
#include "jobs/modal_state.h"
#include "platform/progress_figures.h"
#include "tests/fakes/fake_platform.h"
#include "tests/harness.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class Restart : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        settings = Settings{};
        set_download_path(path_);
    }
    // Runs the console words, then downloads `file`, shown as part.nc.
    std::string download(const std::string& file, const std::string& words = "") {
        dir_.write("part.nc", file);
        CaptureStdout();
        if (!words.empty()) run_command(words);
        download_file();
        std::string shown = GetCapturedStdout();
        for (std::size_t at; (at = shown.find(path_)) != std::string::npos;)
            shown.replace(at, path_.size(), "part.nc");
        return shown;
    }
    vqtest::TempDir dir_;
    const std::string path_ = dir_.file("part.nc");
};

// The warnings, by a letter each.
const std::pair<char, std::string> kWarnings[] = {
    {'c', "canned cycle"}, {'r', "compensation"},   {'i', "incremental"}, {'a', "an arc"},
    {'t', "tool change"},  {'n', "numbered block"}, {'o', "full circle"}};

TEST_F(Restart, ModalStatePositionAndWarningsAtTheResumeLine) {
    const struct {
        std::string file;
        long from;
        std::string words, position, warnings;  // position "" when no axis was programmed
    } cases[] = {
        // Lower case, blanks inside words, the last word of a group winning, F and S apart.
        {"g1 g0 x1 g41 d2\nF 250 S 1200 M 3\nM30\n", 3, "F250 S1200 M3 G41 D2 G0", "X unknown",
         "r"},
        {"G20 (G21)1 G91 ; G90 X5\n(G90 X7\nG0 X1\nM30\n", 4, "G20 G91 G0", "X unknown", "i"},
        // Every group, in the order they are restored; the T after M6 is the one loaded.
        {"G3 D1 G42 M7 M4 S900 H4 G44 M6 T4 F5 G93 G56 G91.1 G91 G18 G20\nM30\n", 2,
         "G20 G18 G91 G91.1 G56 G93 F5 T4 M06 G44 H4 S900 M4 M7 G42 D1 G3", "", "rit"},
        // A P before or after its G54.1; a new offset or a tool change forgets where it stood.
        {"G90 G55 X1\nG54.1 P2 Y1\nP3 G54.1\nG54.12 P4\nM30\n", 5, "G90 G54.1 P3",
         "X unknown Y unknown", ""},
        {"G90 X1\nG55\nY1\nT1 M6\nT2\nM30\n", 6, "G90 G55 T1 M06 T2", "X unknown Y unknown", "t"},
        // Canned cycles: back to R (G99) or to where they began (G98); G80 ends them.
        {"G17 G90 Z10\nG98 G83 X1 Y2 Z-3 R2 Q1 P5\nX5\n", 3, "G17 G90 G98 G83 R2 Q1 P5 Z-3",
         "X1 Y2 Z10", "c"},
        {"G17 G90 G0 Z10\nG99 G82 X1 Z-3 R1\nG80\nM30\n", 4, "G17 G90 G80", "X1 Z1", ""},
        {"G17 G91 G0 Z10\nG99 G81 X1 Z-3 R1 L2\nM30\n", 3, "G17 G91 G99 G81 R1 Z-3",
         "X unknown Z unknown", "ci"},
        // L repeats its own line only; the depth is Y in G18, X in G19.
        {"G17 G90 G99 G81 X1 Z-1 R1 L3\nG82 X4 Y5 R0.2 Z-1.1 P0.6\nX6\n", 3,
         "G17 G90 G99 G82 R0.2 P0.6 Z-1.1", "X4 Y5 Z0.2", "c"},
        {"G18 G90 G0 Y5\nG99 G81 Z3 X4 R0.2 Y-1.1\nX6\n", 3, "G18 G90 G99 G81 R0.2 Y-1.1",
         "X4 Y0.2 Z3", "c"},
        {"G19 G90 G0 X5\nG98 G81 Y1 Z2 R1 X-2\nY2\n", 3, "G19 G90 G98 G81 R1 X-2", "X5 Y1 Z2", "c"},
        // Positions as written, or computed to the program's decimals: units converted, G92
        // sets, G4's X is time, others unknown, a motion not followed too.
        {"G21 G90 G0 X25.4 Y2 Z2 A3\nG91 Y25.4\nG20\nG92 Z0\nG4 X9\nM30\n", 6, "G20 G91 G0",
         "X1 Y1.079 Z0 A3", "i"},
        {"G90 G0 X1 Y1 Z1 A-0.00001 B1234567890123456789\nG28 Z0\nG53 X5\nM30\n", 4, "G90 G0",
         "X unknown Y1 Z unknown A-0.00001 B unknown", ""},
        {"G90 G0 X-0.299635 Z1.53125 Y1\nG91 Y0.1\nY0.000002\nM30\n", 4, "G91 G0",
         "X-0.299635 Y1.100002 Z1.53125", "i"},
        {"G90 G1 X1 Y1 Z1\nG5.2 X2 Y3\nX4 Y5\nM30\n", 4, "G90 G5.2", "X unknown Y unknown Z1", ""},
        // Mist and flood together.
        {"M08 S100 M3\nM07\nM30\n", 3, "S100 M3 M08 M07", "", ""},
        // The first move an arc or a full circle (a centre alone); the resume line numbered or not.
        {"N10 G90 G2 X1 Y1 R1\nN15 Y2\nN20 G1 X3\n", 2, "G90 G2", "X1 Y1", "a"},
        {"N10 G90 G1 X1\nS5\nG3 I1 J1", 2, "G90 G1", "X1", "no"},
        {"N5 G17 G90 G0 X0 Y0\n(start) N10 G2 I-45\n", 2, "G17 G90 G0", "X0 Y0", "o"},
    };
    for (const auto& row : cases) {
        settings.resume_line = row.from;
        const std::string shown = download(row.file);
        const std::size_t words = shown.find("leave: ") + 7;
        EXPECT_EQ(shown.substr(words, shown.find('\n') - words), row.words) << row.file;
        const std::size_t at = shown.find("coordinates): ");
        EXPECT_EQ(
            at == std::string::npos ? "" : shown.substr(at + 14, shown.find('\n', at) - at - 14),
            row.position)
            << row.file;
        std::string warnings;
        for (const auto& [letter, text] : kWarnings)
            if (shown.find(text) != std::string::npos) warnings += letter;
        EXPECT_EQ(warnings, row.warnings) << shown;
    }
}

// The file's lines: the resume forms refused leave the download whole, the
// others start it where they say; either way the next download is whole.
TEST_F(Restart, ResumeByLineOrNumberServesOneDownload) {
    const std::string file = "NN5\nN20 G2\nn 20 G3\nN5\n(start) N10", all = file + "\n";
    const std::string refused = "Line to resume from must be a number from 1 to 999999999: '";
    const std::vector<std::vector<std::string>> cases = {
        {"rN", refused + "N' - ignored\n", all},
        {"r1234567890", refused + "1234567890' - ignored\n", all},
        {"rN5", "The next download starts at its first line numbered N5\nN5 is line 4 of 'part.nc'",
         "N5\n(start) N10\n"},
        {"rn20",
         "The next download starts at its first line numbered N20\nN20 is line 2 of 'part.nc', "
         "the first of 2 lines that start with it\nLines 1-1",
         "N20 G2\nn 20 G3\nN5\n(start) N10\n"},
        {"rN10", "The next download starts at its first line numbered N10\nN10 is line 5 of",
         "(start) N10\n"},
        {"rN7",
         "The next download starts at its first line numbered N7\nNo line of 'part.nc' "
         "starts with N7: nothing sent\n",
         ""},
    };
    // The controller answers the lines that are to be sent, in order.
    auto answer = [](const std::string& lines) {
        fake::reset();
        for (std::size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1)
            fake::controller_sends(lines.substr(at, lines.find('\n', at) - at) + "\nok\r\n-");
    };
    for (const auto& row : cases) {
        answer(row[2]);
        const std::string shown = download(file, row[0]);
        EXPECT_TRUE(shown.starts_with(row[1])) << shown;
        EXPECT_EQ(fake::state.sent, row[2]) << row[0];
        answer(all);
        download(file);
        EXPECT_EQ(fake::state.sent, all) << row[0];
    }
}

// A link lost before any prompt: the resume line is the first one the
// controller may not have run, never one past it.
TEST_F(Restart, EarlyEndResumesAtTheFirstLineNotAcknowledged) {
    fake::state.lost_at = 0;
    const std::string shown = download("G21 G90\nG0 X1\nG1 X2\nM30\n", "r3");
    EXPECT_NE(shown.find("acknowledged none of its lines\n  To resume: cCOM1 b115200 r3 fpart.nc "
                         "(options: -cCOM1 -b115200 -r3 '-fpart.nc')\n  State at line 3: G21 G90 "
                         "G0\n  Last position (program coordinates): X1\n"),
              std::string::npos)
        << shown;
}

// The words, or with `position` the position, that `text` leaves.
std::string scanned(const std::string& text, bool position = false, std::size_t size = 512) {
    ModalState state;
    scan_modal_words(state, text + "\n");
    std::vector<char> shown(size);
    (position ? describe_position : describe_modal_state)(state, shown.data(), shown.size());
    return shown.data();
}

// Each word alone: kept when it belongs to a group (words the table above
// does not show), and nothing else is.
TEST(ModalState, EachGroupsWordsAndNoOthers) {
    for (const char* word : {"G01", "G19", "G90.1", "G54", "G59", "G59.1", "G59.2", "G59.3", "G95",
                             "G43", "G49", "G40", "G41", "M05", "M09", "G74", "G79"})
        EXPECT_EQ(scanned(word), word);
    for (const char* word : {"G4", "G54.2", "G59.4", "G42.1", "G1.05", "G90.2", "G16", "G22", "G92",
                             "G100", "M2", "M10", "H1", "D1", "P1", "X"})
        EXPECT_EQ(scanned(word), "none") << word;
    // What leaves the position where the program stood unknown, and what does not.
    for (const char* word : {"G10 L2 P1 X0", "G52 X0", "G92.1", "G92.2", "G92.3", "G30"})
        EXPECT_EQ(scanned(std::string("G20 G90 G54 X1 Z1\n") + word, true), "X unknown Z unknown");
    EXPECT_EQ(scanned("G20 G90 X1 Z1\nG43 H1", true), "X1 Z unknown");
    EXPECT_EQ(scanned("G20 G90 G54 X1 Z1\nG20 G54\nG4 X5", true), "X1 Z1");
    for (std::string cycle : {"G73", "G76", "G81", "G89"})
        EXPECT_EQ(scanned(cycle + " X1 R2"), cycle + " R2");
    EXPECT_EQ(scanned("G21 G90 G0", false, 6), "G21 G");
}

// A NUL ends a line's words; the last line with text after one, where more
// than NULs and a carriage return before the line feed follow it, is noted.
TEST(ModalState, TextAfterANulIsNoted) {
    using namespace std::string_literals;
    const std::pair<std::string, long> cases[] = {
        {"G2\0\0\r\nG2\0X1"s, 2}, {"G2\0\r\0"s, 1}, {";\0X1\nG2(\0)"s, 2}, {"G2;\0\n\0\r"s, 0}};
    for (const auto& [file, line] : cases) {
        ModalState state;
        scan_modal_words(state, file + "\n");
        EXPECT_EQ(state.text_after_nul_line, line) << file;
        EXPECT_EQ(scanned(file) + scanned(file, true), "G2") << file;
    }
}

// A file that cannot be read sends nothing: here a directory's descriptor.
TEST_F(Restart, ReadErrorIsSaidAndSendsNothing) {
    const int fd = open(dir_.path().c_str(), O_RDONLY);
    CaptureStdout();
    EXPECT_EQ(line_of_block(fd, "d", 5), 0);
    EXPECT_FALSE(resume_confirmed(fd, "d", 3));
    close(fd);
    const std::string said = "Cannot read G Code file 'd': Is a directory\n";
    EXPECT_EQ(GetCapturedStdout(), said + said);
}

TEST(ProgressFigures, CountOnlyWhatThisRunSent) {
    const struct {
        ProgressRun run;
        long line;
        std::int64_t done, elapsed_ms;
        std::string shown;
    } cases[] = {
        // No rate before its first second.
        {{1, 0, 1000}, 1, 0, 999, "  line 1  0%"},
        // Resumed at line 3030 of a 20088-line file: 150 lines in 3 s.
        {{3030, 150000, 1000000}, 3180, 157500, 3000, "  line 3180  15%  50.0 lines/s  5:37 left"},
        {{1, 0, 10000000}, 101, 2000, 1000, "  line 101  0%  100.0 lines/s  1:23:19 left"},
        {{1, 0, 7202000}, 101, 2000, 1000, "  line 101  0%  100.0 lines/s  1:00:00 left"},
        // Grown past its size: no share, no time left.
        {{1, 0, 1000}, 21, 1200, 2000, "  line 21  10.0 lines/s"},
    };
    for (const auto& row : cases) {
        std::array<char, 128> text;
        const std::size_t length =
            progress_figures(row.run, row.line, row.done, row.elapsed_ms, text);
        EXPECT_EQ(std::string(text.data(), length), row.shown);
    }
    std::array<char, 8> narrow;
    EXPECT_EQ(progress_figures({}, 1234, 0, 0, narrow), 7u);
}

}  // namespace
