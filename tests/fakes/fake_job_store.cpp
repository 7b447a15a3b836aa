#include "tests/fakes/fake_job_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/job_store.h"
#include "platform/system_log.h"

fake::JobPlatform fake::jobs;

namespace {
using fake::jobs;
int open_port = -1;
}  // namespace

bool job_store_open(int port, std::size_t size) {
    errno = jobs.fail_errno;
    if (errno != 0) return false;
    jobs.records[port].assign(size, '\0');
    open_port = port;
    return true;
}

char* job_store_bytes() {
    return jobs.records[open_port].data();
}

bool job_store_commit(std::size_t, std::size_t) {
    errno = EIO;
    if (jobs.writes_until_failure == 0) return false;
    if (jobs.writes_until_failure > 0) --jobs.writes_until_failure;
    return true;
}

bool job_store_sync() {
    return ++jobs.syncs > 0;
}

void job_store_close(bool remove) {
    if (remove) jobs.records.erase(open_port);
    open_port = -1;
}

long job_store_read(int port, char* data, std::size_t size) {
    errno = jobs.fail_errno;
    if (errno != 0) return errno == EWOULDBLOCK ? kRecordBusy : -1;
    const auto found = jobs.records.find(port);
    if (found == jobs.records.end()) return 0;
    const std::size_t count = std::min(size, found->second.size());
    std::memcpy(data, found->second.data(), count);
    return static_cast<long>(count);
}

void job_store_path(int port, char* text, std::size_t size) {
    std::snprintf(text, size, "state/COM%d.job", port + 1);
}

std::int64_t wall_clock_s() {
    return 1700000000;
}

void boot_id(char* text, std::size_t size) {
    std::snprintf(text, size, "%s", jobs.boot.c_str());
}

void system_log(const char* line) {
    jobs.log.emplace_back(line);
}

void user_name(char* text, std::size_t size) {
    std::snprintf(text, size, "tester");
}
