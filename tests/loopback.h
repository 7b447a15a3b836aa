// Helpers for running ser2net and socat on loopback, shared by the
// device-server test and its benchmark.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace vqtest {

// The full path of an installed program, looked up in PATH and then in the
// sbin directories a user's PATH often lacks; empty if it is nowhere.
inline std::string find_tool(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path != nullptr ? path : "") +
                            ":/usr/local/sbin:/usr/sbin:/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// A loopback TCP port that nothing uses at this moment; -1 if none was found.
inline int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0;
    if (fd >= 0) close(fd);
    return ok ? ntohs(addr.sin_port) : -1;
}

// TCP socket states as /proc/net/tcp numbers them.
inline constexpr unsigned kEstablished = 0x01;
inline constexpr unsigned kListen = 0x0A;

// True if the kernel lists an IPv4 socket in `state` whose local port (or, with
// `remote`, whose peer's port) is `port`.
inline bool tcp_socket_seen(int port, bool remote, unsigned state) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        unsigned local_port = 0;
        unsigned remote_port = 0;
        unsigned st = 0;
        if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%x %x", &local_port, &remote_port, &st) ==
                3 &&
            st == state && static_cast<int>(remote ? remote_port : local_port) == port)
            return true;
    }
    return false;
}

}  // namespace vqtest
