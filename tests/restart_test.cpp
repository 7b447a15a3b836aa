// Resuming a download mid-file: the state and warnings the skipped lines
// leave, the r command's forms, where an early end says to resume, and the
// progress figures.
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
#include "jobs/progress_figures.h"
#include "link/link.h"
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
    // Runs the console words, then a download of `file`; the file is shown as
    // part.nc.
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

struct StateCase {
    std::string file;
    long from;
    std::string words, position, warnings;  // position "" when no axis was programmed
};

// The warnings, by letter: canned cycle, cutter compensation, incremental, arc
// first, tool change skipped, resume line not numbered.
const std::vector<std::string> kWarnings = {"canned cycle", "compensation", "incremental",
                                            "an arc",       "tool change",  "numbered block"};
constexpr std::string_view kWarningLetters = "criatn";

TEST_F(Restart, ModalStatePositionAndWarningsAtTheResumeLine) {
    const StateCase cases[] = {
        // Lower case, blanks inside words, the last word of a group winning, F and S apart.
        {"g1 g0 x1\nF 250 S 1200 M 3\nM30\n", 3, "F250 S1200 M3 G0", "X unknown", ""},
        {"G20 (G21) G91 ; G90 X5\n(G90 X7\nG0 X1\nM30\n", 4, "G20 G91 G0", "X unknown", "i"},
        // Every group, in the order they are restored; the T after M6 is the one loaded.
        {"G3 D1 G42 M7 M4 S900 H4 G44 M6 T4 F5 G93 G56 G91.1 G91 G18 G20\nM30\n", 2,
         "G20 G18 G91 G91.1 G56 G93 F5 T4 M06 G44 H4 S900 M4 M7 G42 D1 G3", "", "rit"},
        {"T1 M6\nT2\nM30\n", 3, "T1 M06 T2", "", "t"},
        {"G55\nP3 G54.1\nG54.12 P4\nM30\n", 4, "G54.1 P3", "", ""},
        {"G90 G54.1 P1 X1\nG54.1 P2\nM30\n", 3, "G90 G54.1 P2", "X unknown", ""},
        {"G43 H2\nG49 H3\nM30\n", 3, "G49", "", ""},
        // Canned cycles: back to R (G99) or to where they began (G98); G80 ends them.
        {"G17 G21 G90 G0 Z10\nG99 G81 X1 Y2 Z-3 R1 L2\nX5\n", 3, "G21 G17 G90 G99 G81 R1 Z-3 L2",
         "X1 Y2 Z1", "c"},
        {"G17 G90 Z10\nG98 G83 X1 Y2 Z-3 R2 Q1 P5\nX5\n", 3, "G17 G90 G98 G83 R2 Q1 P5 Z-3",
         "X1 Y2 Z10", "c"},
        {"G17 G90 G0 Z10\nG99 G82 X1 Z-3 R1\nG80\nM30\n", 4, "G17 G90 G80", "X1 Z1", ""},
        {"G17 G91 G0 Z10\nG99 G81 X1 Z-3 R1\nM30\n", 3, "G17 G91 G99 G81 R1 Z-3",
         "X unknown Z unknown", "ci"},
        // Positions: units converted, G92 sets, G4's X is time, others unknown.
        {"G21 G90 G0 X25.4 Y2 Z2 A3\nG91 Y25.4\nG20\nG92 Z0\nG4 X9\nM30\n", 6, "G20 G91 G0",
         "X1 Y1.0787 Z0 A3", "i"},
        {"G90 G0 X1 Y1 Z1\nG28 Z0\nG53 X5\nM30\n", 4, "G90 G0", "X unknown Y1 Z unknown", ""},
        {"G90 X1 Y1\nT2 M6\nM30\n", 3, "G90 T2 M06", "X unknown Y unknown", "t"},
        {"G90 X1 Y1\nG55\nG91 X1\nM30\n", 4, "G91 G55", "X unknown Y unknown", "i"},
        {"G90 X-0.00001 Y1234567890123456789\nM30\n", 2, "G90", "X0 Y unknown", ""},
        // The first move an arc; the resume line numbered or not.
        {"N10 G90 G2 X1 Y1 R1\nY2\nN20 G1 X3\n", 2, "G90 G2", "X1 Y1", "an"},
        {"N10 G90 G2 X1 Y1 R1\nY2\nN20 G1 X3\n", 3, "G90 G2", "X1 Y2", ""},
        {"N10 G90 G1 X1\nS5\nG3 X2 Y2 R1", 2, "G90 G1", "X1", "an"},
    };
    for (const StateCase& row : cases) {
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
        for (std::size_t i = 0; i < kWarnings.size(); ++i)
            if (shown.find(kWarnings[i]) != std::string::npos) warnings += kWarningLetters[i];
        EXPECT_EQ(warnings, row.warnings) << shown;
    }
}

// The file's lines: the resume forms refused leave the download whole, the
// others start it where they say; either way the next download is whole.
TEST_F(Restart, ResumeByLineOrNumberServesOneDownload) {
    const std::string all = "NN5\nN20 G2\nn 20 G3\nN5\n";
    const std::string file = "NN5\nN20 G2\nn 20 G3\nN5";
    const std::string refused = "Line to resume from must be a number from 1 to 999999999: '";
    const std::vector<std::vector<std::string>> cases = {
        {"r0", refused + "0' - ignored\n", all},
        {"r7x", refused + "7x' - ignored\n", all},
        {"r-3", refused + "-3' - ignored\n", all},
        {"r", refused + "' - ignored\n", all},
        {"rN", refused + "N' - ignored\n", all},
        {"r1234567890", refused + "1234567890' - ignored\n", all},
        {"r3", "The next download starts at its line 3\nLines 1-2 of", "n 20 G3\nN5\n"},
        {"rN5", "The next download starts at its first line numbered N5\nN5 is line 4 of 'part.nc'",
         "N5\n"},
        {"rn20",
         "The next download starts at its first line numbered N20\nN20 is line 2 of 'part.nc', "
         "the first of 2 lines that start with it\nLines 1-1",
         "N20 G2\nn 20 G3\nN5\n"},
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

// A link lost before any prompt, or after a time-out: the resume line is the
// first one the controller may not have run, never one past it.
TEST_F(Restart, EarlyEndResumesAtTheFirstLineNotAcknowledged) {
    const std::string file = "G21 G90\nG0 X1\nG1 X2\nM30\n";
    fake::state.lost_at = 0;
    std::string shown = download(file, "r3");
    EXPECT_NE(shown.find("acknowledged none of its lines\n  To resume: r3 then fpart.nc (options: "
                         "-r3 -fpart.nc)\n  State at line 3: G21 G90 G0\n  Last position "
                         "(program coordinates): X1\n"),
              std::string::npos)
        << shown;
    fake::reset();
    fake::state.lost_at = REPLY_TIMEOUT_MS + 5;
    shown = download(file);
    EXPECT_NE(shown.find("acknowledged none of its lines\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("  To resume: r1 then fpart.nc"), std::string::npos) << shown;
}

// The words, or with `position` the position, that `text` leaves.
std::string scanned(const std::string& text, bool position = false) {
    ModalState state;
    scan_modal_words(state, text + "\n");
    std::array<char, 512> shown;
    (position ? describe_position : describe_modal_state)(state, shown.data(), shown.size());
    return shown.data();
}

// Each word alone: kept when it belongs to a group, and nothing else is.
TEST(ModalState, EachGroupsWordsAndNoOthers) {
    for (const char* word :
         {"G0",    "G01",   "G2",    "G03",   "G73", "G76", "G80",   "G81",   "G89", "G17",
          "G18",   "G19",   "G20",   "G21",   "G90", "G91", "G90.1", "G91.1", "G54", "G59",
          "G54.1", "G59.1", "G59.2", "G59.3", "G93", "G95", "G43",   "G44",   "G49", "G40",
          "G41",   "G42",   "M3",    "M05",   "M7",  "M09", "M06",   "F1",    "S2",  "T3"})
        EXPECT_EQ(scanned(word), word);
    for (const char* word : {"G4", "G54.2", "G59.4", "G42.1", "G1.05", "G74", "G79", "G90.2", "G16",
                             "G22", "G92", "G100", "M2", "M10", "H1", "D1", "P1", "X"})
        EXPECT_EQ(scanned(word), "none") << word;
    // What leaves the position where the program stood unknown, and what does not.
    for (const char* word : {"G10 L2 P1 X0", "G52 X0", "G92.1", "G92.2", "G92.3", "G30"})
        EXPECT_EQ(scanned(std::string("G20 G90 G54 X1 Z1\n") + word, true), "X unknown Z unknown");
    EXPECT_EQ(scanned("G20 G90 X1 Z1\nG43 H1", true), "X1 Z unknown");
    EXPECT_EQ(scanned("G20 G90 G54 X1 Z1\nG20 G54\nG4 X5", true), "X1 Z1");
    EXPECT_EQ(scanned("G91 X1", true), "X unknown");
    for (std::string cycle : {"G73", "G76", "G81", "G89"})
        EXPECT_EQ(scanned(cycle + " X1 R2"), cycle + " R2");
    ModalState state;
    scan_modal_words(state, "G21 G90 G0\n");
    std::array<char, 6> narrow;
    describe_modal_state(state, narrow.data(), narrow.size());
    EXPECT_STREQ(narrow.data(), "G21 G");
}

// A file that cannot be read sends nothing: here a directory's descriptor.
TEST(ResumeReadError, IsSaidAndSendsNothing) {
    vqtest::TempDir dir;
    const int fd = open(dir.path().c_str(), O_RDONLY);
    CaptureStdout();
    EXPECT_EQ(line_of_block(fd, "d", 5), 0);
    EXPECT_FALSE(resume_confirmed(fd, "d", 3));
    close(fd);
    EXPECT_EQ(GetCapturedStdout(),
              "Cannot read G Code file 'd': Is a directory\n"
              "Cannot read G Code file 'd': Is a directory\n");
}

struct FiguresCase {
    ProgressRun run;
    long line;
    std::int64_t done;
    std::int64_t elapsed_ms;
    std::string shown;
};

TEST(ProgressFigures, CountOnlyWhatThisRunSent) {
    const FiguresCase cases[] = {
        {{1, 0, 1000}, 1, 0, 999, "  line 1  0%"},
        {{1, 0, 1000}, 11, 500, 1000, "  line 11  50%  10.0 lines/s  0:01 left"},
        // Resumed at line 3030 of a 20088-line file: 150 lines in 3 s.
        {{3030, 150000, 1000000}, 3180, 157500, 3000, "  line 3180  15%  50.0 lines/s  5:37 left"},
        {{1, 0, 10000000}, 101, 2000, 1000, "  line 101  0%  100.0 lines/s  1:23:19 left"},
        // Grown past its size, or of no known size: no share, no time left.
        {{1, 0, 1000}, 21, 1200, 2000, "  line 21  10.0 lines/s"},
        {{1, 0, 0}, 21, 1200, 2000, "  line 21  10.0 lines/s"},
    };
    for (const FiguresCase& row : cases) {
        std::array<char, 128> text;
        const std::size_t length =
            progress_figures(row.run, row.line, row.done, row.elapsed_ms, text);
        EXPECT_EQ(std::string(text.data(), length), row.shown);
    }
    std::array<char, 8> narrow;
    EXPECT_EQ(progress_figures({}, 1234, 0, 0, narrow), 7u);
}

}  // namespace
