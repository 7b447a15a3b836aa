// Stand-ins for the job record store and the system log: records in memory,
// log lines in a list, a boot the tests set.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/system_log.h"

namespace fake {

struct JobPlatform {
    std::map<int, std::string> records;  // by port, as the record files hold them
    // Opening or reading a record fails with it; EWOULDBLOCK: another program holds it.
    int fail_errno = 0;
    long writes_until_failure = -1;  // writes that go through, then EIO; -1: all
    long syncs = 0;
    std::string boot = "boot-1";
    LogResult log_result = LogResult::sent;  // what the system log does with a line
    std::vector<std::string> log;
};

extern JobPlatform jobs;

}  // namespace fake
