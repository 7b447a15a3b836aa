// The job history's lines on a log socket of the test's own: sent as
// syslog(3) sends them, dropped without waiting by a log that takes no more,
// none where no log listens; the user they name.
#include "platform/system_log.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>

#include "tests/harness.h"

namespace {

TEST(SystemLog, LinesGoWithoutWaitingOrAreDroppedUnderTheUsersName) {
    vqtest::TempDir dir;
    const std::string path = dir.file("log");
    const int log = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(log, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    use_log_socket(path.c_str());
    EXPECT_EQ(system_log("download started: user=op"), LogResult::sent);
    char got[256];
    const ssize_t length = recv(log, got, sizeof got, 0);
    EXPECT_TRUE(
        std::regex_match(std::string(got, static_cast<std::size_t>(std::max<ssize_t>(length, 0))),
                         std::regex("<14>[A-Z][a-z]{2} [ 1-3][0-9] [0-9:]{8} vqdnc\\[" +
                                    std::to_string(getpid()) + "\\]: download started: user=op")));
    // A log that reads nothing more: the line is dropped, never waited for.
    LogResult result = LogResult::sent;
    for (int i = 0; i < 100000 && result == LogResult::sent; ++i)
        result = system_log("x");
    EXPECT_EQ(result, LogResult::dropped);
    close(log);
    unlink(path.c_str());
    EXPECT_EQ(system_log("x"), LogResult::no_log);
    // The user, without LOGNAME or USER, is the password database's name.
    unsetenv("LOGNAME");
    unsetenv("USER");
    char name[64];
    user_name(name, sizeof name);
    EXPECT_STREQ(name, getpwuid(getuid())->pw_name);
}

}  // namespace
