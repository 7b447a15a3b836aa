// The system log, where the job history goes: facility user, tag vqdnc.
#pragma once

#include <cstddef>

void system_log(const char* line);
// The login name of the user the program runs as, or its number.
void user_name(char* text, std::size_t size);
