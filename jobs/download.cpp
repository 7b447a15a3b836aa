#include "jobs/jobs.h"

void download_file() {}
