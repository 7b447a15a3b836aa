// The system log, where the job history goes: facility user, tag vqdnc. A
// line is sent without waiting: a log that takes nothing (a stalled journal)
// drops it rather than hold a download.
#pragma once

#include <cstddef>

enum class LogResult { sent, dropped, no_log };
LogResult system_log(const char* line);
// The log's socket, /dev/log unless a test names another.
void use_log_socket(const char* path);
// The login name of the user the program runs as, or its number.
void user_name(char* text, std::size_t size);
