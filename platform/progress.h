// The status line at the terminal's bottom while a download runs.
#pragma once

#include <cstdint>
#include <string_view>

// The status line at the terminal's bottom while a download runs. Nothing
// at all happens unless standard output is a terminal.
void progress_begin(std::string_view file_name, std::int64_t total_bytes);
void progress_update(long file_line, std::int64_t bytes_done);
void progress_end();
