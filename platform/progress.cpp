// The download's status line on the terminal's bottom row. The rows above it
// are made a scroll region, so echo and answers scroll there as before while
// the line stays put; it is drawn with the cursor saved and restored, so the
// output goes on where it stood.
#include "platform/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
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
// signal handler.
constexpr char kGiveBack[] = "\033D\0337\r\033[J\033[r\0338\033[A";

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
volatile std::sig_atomic_t shown = 0;
// Resized or continued: region and line are set again at the next update.
volatile std::sig_atomic_t stale = 0;
// As in key mode: the continues had, and those had at the last update.
volatile std::sig_atomic_t continues = 0;
volatile std::sig_atomic_t continues_seen = 0;
// Time spent stopped, left out of the rates.
volatile std::int64_t paused_ms = 0;

void put(const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(STDOUT_FILENO, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

// No foreground group at all: a terminal that is not ours to share.
bool in_foreground() {
    const pid_t foreground = tcgetpgrp(STDOUT_FILENO);
    return foreground < 0 || foreground == getpgrp();
}

void give_back() {
    shown = 0;
    put(kGiveBack, sizeof kGiveBack - 1);
}

// For the handlers: only while the program has the terminal, with SIGTTOU
// blocked so the shell taking it in between cannot stop the program here.
void give_back_if_foreground() {
    sigset_t ttou;
    sigset_t saved;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &saved);
    if (shown && in_foreground()) give_back();
    shown = 0;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

void resize_on_signal(int) {
    stale = 1;
}

void continue_on_signal(int) {
    continues = continues + 1;
    stale = 1;
}

// Ctrl-Z: the shell gets the whole screen, without the line, while the program
// is stopped. The stop is raised and discarded as in key mode, where a
// continue that came before this handler ran would otherwise leave the
// program stopped for good.
void stop_on_signal(int) {
    const int saved_errno = errno;
    give_back_if_foreground();
    const std::int64_t stopped_at = clock_ms();
    stop_from_handler(stop_on_signal, continues, continues_seen);
    paused_ms = paused_ms + (clock_ms() - stopped_at);
    stale = 1;
    continues_seen = continues;
    errno = saved_errno;
}

std::array<TakenSignal, 3> handled = {{
    {SIGWINCH, resize_on_signal, {}, false},
    {SIGTSTP, stop_on_signal, {}, false},
    {SIGCONT, continue_on_signal, {}, false},
}};

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
    if (!in_foreground()) return;
    std::array<char, kDrawSize> out;
    std::size_t size = 0;
    if (stale || !shown) {
        stale = 0;
        if (!read_size()) {
            shown = 0;
            return;
        }
        shown = 1;
        size += std::snprintf(out.data(), out.size(), kTake, progress.rows - 1);
    }
    size += std::snprintf(out.data() + size, out.size() - size, "\0337\033[%d;1H\033[2K",
                          progress.rows);
    compose(line, done, out.data(), size);
    size += std::snprintf(out.data() + size, out.size() - size, "\0338");
    put(out.data(), size);
}

// TERM unset, empty or dumb: the escape sequences would show as text.
bool cursor_addressing() {
    const char* term = std::getenv("TERM");
    return term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0;
}

// A name's control bytes would act on the terminal; they show as '?'.
void keep_name(std::string_view file_name) {
    progress.name_size = std::min(file_name.size(), kNameSize);
    for (std::size_t i = 0; i < progress.name_size; ++i) {
        const auto c = static_cast<unsigned char>(file_name[i]);
        progress.name[i] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
    }
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
    shown = 0;
    stale = 0;
    continues_seen = continues;
    progress.begun = true;
    take_signals(handled);
}

void progress_update(long file_line, std::int64_t bytes_done) {
    if (!progress.begun) return;
    progress.line = file_line;
    progress.done = bytes_done;
    continues_seen = continues;
    const std::int64_t now = clock_ms();
    if (now < progress.next_draw_ms && !stale) return;
    progress.next_draw_ms = now + kRedrawMs;
    redraw(file_line, bytes_done);
}

bool progress_shown() {
    return progress.begun;
}

void progress_tick() {
    if (progress.begun && progress.line > 0) progress_update(progress.line, progress.done);
}

void progress_end() {
    if (!progress.begun) return;
    progress.begun = false;
    if (shown) give_back();
    give_signals_back(handled);
}
