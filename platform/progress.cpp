// The download's status line on the terminal's bottom row. The rows above it
// are made a scroll region, so echo and answers scroll there as before while
// the line stays put; it is drawn with the cursor saved and restored, so the
// output goes on where it stood.
#include "platform/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/shown_text.h"
#include "platform/signals.h"

namespace {

constexpr std::int64_t kRedrawMs = 250;
constexpr std::size_t kNameSize = 256;
constexpr std::size_t kDrawSize = 1024;  // one redraw, escapes included

// Both ways start alike: down a row (the screen scrolls when the cursor is on
// the region's last row), the cursor saved there, that row and all below it
// cleared, and back to the saved place and up a row: where the output stood,
// whether the screen scrolled or not. Whatever stood below the output (the
// line, or a copy of it a resize left behind) is gone.
// Taking the screen: then the scroll region over all rows but the last.
constexpr const char* kTake = "\033D\0337\r\033[J\033[1;%dr\0338\033[A";
// Giving it back: the whole screen scrolls again. A constant, for the
// handler of Ctrl-Z.
constexpr std::string_view kGiveBack = "\033D\0337\r\033[J\033[r\0338\033[A";

struct Progress {
    bool begun = false;
    std::array<char, kNameSize> name{};
    std::size_t name_size = 0;
    ProgressRun run;
    std::int64_t start_ms = 0;
    std::int64_t next_draw_ms = 0;
    int rows = 0;
    int cols = 0;
    long line = 0;  // the figures last given, for progress_tick
    std::int64_t done = 0;
};

Progress progress;
// The region is set and the line on the screen.
bool line_shown = false;
// The stops and the continues or resizes last acted on: after either the
// region and line are set again, and the time stopped is left out of the rates.
int stops_seen = 0;
int changes_seen = 0;
std::int64_t paused_ms = 0;
std::int64_t last_seen_ms = 0;

// A stop since the last look: the time since then counts as stopped, which
// errs by at most the time between two updates (a tick at most while waiting).
void leave_out_stops(std::int64_t now) {
    if (terminal_stops() != stops_seen) {
        stops_seen = terminal_stops();
        paused_ms += now - last_seen_ms;
    }
    last_seen_ms = now;
}

// False when the terminal has no room for the line.
bool read_size() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row < 2 || size.ws_col < 2)
        return false;
    progress.rows = size.ws_row;
    progress.cols = size.ws_col;
    return true;
}

bool continues_character(char c) {
    return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

// Appends at most `columns` columns of `text`, a column for each character
// (UTF-8 continuation bytes take none). Returns the columns used.
int append_columns(std::string_view text, int columns, char* out, std::size_t& size) {
    int used = 0;
    for (char c : text) {
        if (!continues_character(c) && used++ == columns) return columns;
        out[size++] = c;
    }
    return used;
}

// The line's text, cut to the width less one column, so that the cursor never
// stands at the right margin, where the next byte would wrap. The name gives
// way to the figures.
void compose(long line, std::int64_t done, char* out, std::size_t& size) {
    std::array<char, 128> text;
    const std::int64_t elapsed_ms = clock_ms() - progress.start_ms - paused_ms;
    const std::string_view after(text.data(),
                                 progress_figures(progress.run, line, done, elapsed_ms, text));
    const int width = progress.cols - 1;
    const int figure_columns = static_cast<int>(after.size());
    const std::string_view name(progress.name.data(), progress.name_size);
    const int used = append_columns(name, std::max(width - figure_columns, 0), out, size);
    append_columns(after, width - used, out, size);
}

// Run in the background (bg), the program leaves the shell's screen alone.
void redraw(long line, std::int64_t done) {
    if (!in_foreground(STDOUT_FILENO)) return;
    std::array<char, kDrawSize> out;
    std::size_t size = 0;
    if (changes_seen != terminal_changes() || !line_shown) {
        changes_seen = terminal_changes();
        line_shown = read_size();
        if (!line_shown) {
            release_screen();
            return;
        }
        hold_screen(kGiveBack);
        size += std::snprintf(out.data(), out.size(), kTake, progress.rows - 1);
    }
    size += std::snprintf(out.data() + size, out.size() - size, "\0337\033[%d;1H\033[2K",
                          progress.rows);
    compose(line, done, out.data(), size);
    size += std::snprintf(out.data() + size, out.size() - size, "\0338");
    write_to_console({out.data(), size});
}

// TERM unset, empty or dumb: the escape sequences would show as text.
bool cursor_addressing() {
    const char* term = std::getenv("TERM");
    return term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0;
}

void keep_name(std::string_view file_name) {
    progress.name_size = 0;
    append_shown(file_name, progress.name.data(), kNameSize, progress.name_size);
}

}  // namespace

void progress_begin(std::string_view file_name, const ProgressRun& run) {
    progress_end();
    if (!isatty(STDOUT_FILENO) || !cursor_addressing()) return;
    progress = Progress{};
    keep_name(file_name);
    progress.run = run;
    progress.start_ms = clock_ms();
    paused_ms = 0;
    last_seen_ms = progress.start_ms;
    line_shown = false;
    terminal_watch_begin();
    stops_seen = terminal_stops();
    changes_seen = terminal_changes();
    note_running();
    progress.begun = true;
}

void progress_update(long file_line, std::int64_t bytes_done) {
    if (!progress.begun) return;
    progress.line = file_line;
    progress.done = bytes_done;
    note_running();
    const std::int64_t now = clock_ms();
    leave_out_stops(now);
    if (now < progress.next_draw_ms && changes_seen == terminal_changes()) return;
    progress.next_draw_ms = now + kRedrawMs;
    redraw(file_line, bytes_done);
}

bool progress_shown() {
    return progress.begun;
}

void progress_tick() {
    if (progress.begun && progress.line > 0) progress_update(progress.line, progress.done);
}

void reset_scroll_region() {
    if (isatty(STDOUT_FILENO) && cursor_addressing() && in_foreground(STDOUT_FILENO))
        write_to_console("\0337\033[r\0338");
}

void progress_end() {
    if (!progress.begun) return;
    progress.begun = false;
    if (release_screen()) write_to_console(kGiveBack);
    line_shown = false;
    terminal_watch_end();
}
