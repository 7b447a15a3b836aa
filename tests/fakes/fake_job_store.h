// Stand-ins for the job record store and the system log: records in memory,
// log lines in a list, a wall clock and boot the tests set.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake {

struct JobPlatform {
    std::map<int, std::string> records;  // by port, as the record files hold them
    int fail_errno = 0;                  // opening a record fails with it
    long writes_until_failure = -1;      // then changes fail with EIO; -1: never
    bool busy = false;                   // another program holds every record
    int read_errno = 0;                  // reading a record fails with it
    long syncs = 0;
    std::int64_t now_s = 1700000000;
    std::string boot = "boot-1";
    std::vector<std::string> log;
};

extern JobPlatform jobs;

}  // namespace fake
