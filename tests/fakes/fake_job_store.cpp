#include "tests/fakes/fake_job_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/job_store.h"

fake::JobPlatform fake::jobs;

namespace {
using fake::jobs;
int open_port = -1;
}  // namespace

const char* job_store_open(int port) {
    if (jobs.fail_errno == EWOULDBLOCK) return "another vqdnc is using it";
    if (jobs.fail_errno != 0) return std::strerror(jobs.fail_errno);
    jobs.records[port].clear();
    open_port = port;
    return nullptr;
}

bool job_store_write(std::size_t offset, const char* data, std::size_t size) {
    errno = EIO;
    if (jobs.writes_until_failure == 0) return false;
    if (jobs.writes_until_failure > 0) --jobs.writes_until_failure;
    std::string& record = jobs.records[open_port];
    if (record.size() < offset + size) record.resize(offset + size, '\0');
    record.replace(offset, size, data, size);
    return true;
}

bool job_store_still_there() {
    return true;
}

bool job_store_sync() {
    return ++jobs.syncs > 0;
}

void job_store_close(bool remove) {
    if (remove) jobs.records.erase(open_port);
    open_port = -1;
}

long job_store_read(int port, char* data, std::size_t size, bool& running) {
    running = jobs.fail_errno == EWOULDBLOCK;
    errno = jobs.fail_errno;
    if (errno != 0 && !running) return -1;
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

LogResult system_log(const char* line) {
    if (jobs.log_result == LogResult::sent) jobs.log.emplace_back(line);
    return jobs.log_result;
}

void user_name(char* text, std::size_t size) {
    std::snprintf(text, size, "tester");
}
