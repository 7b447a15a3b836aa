// The status line at the terminal's bottom while a download runs. Nothing
// at all happens unless standard output is a terminal.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/progress_figures.h"

// Nothing where TERM is unset or dumb: no cursor addressing there.
void progress_begin(std::string_view file_name, const ProgressRun& run);
// cheap; redraws at most a few times a second (clock_ms)
void progress_update(long file_line, std::int64_t bytes_done);
// True while a status line is kept up: waits then call progress_tick at
// least every kProgressTickMs, so the time left moves on and a resize or a
// continue shows while a line waits for its prompt.
inline constexpr int kProgressTickMs = 250;
bool progress_shown();
// Redraws with the figures last given, when a redraw is due.
void progress_tick();
// removes the line and gives the whole screen back; safe to call when not begun, and twice
void progress_end();
// A run killed while its line was up leaves the terminal's scroll region
// set: a start on a terminal puts the whole screen back (nothing on a pipe).
void reset_scroll_region();
