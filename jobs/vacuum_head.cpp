#include "jobs/jobs.h"

void run_vacuum_head() {}
