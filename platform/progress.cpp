#include "platform/progress.h"

void progress_begin(std::string_view, std::int64_t) {}
void progress_update(long, std::int64_t) {}
void progress_end() {}
