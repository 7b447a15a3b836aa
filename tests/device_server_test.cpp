// vqdnc with its controller behind a serial device server, end to end with
// the real tools: vqsim's device served on a loopback TCP port by ser2net, and
// a local pseudo-terminal joined to that port by socat, set up as doc/network.md
// recommends. vqdnc reaches it through VQDNC_COM1 like any other device.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "loopback.h"

namespace {

using vqtest::find_tool;
using vqtest::free_port;
using vqtest::kEstablished;
using vqtest::kListen;
using vqtest::Millis;
using vqtest::Process;
using vqtest::run_vqdnc;
using vqtest::Sim;
using vqtest::tcp_socket_seen;
using vqtest::TempDir;

// Polls `done` until it holds; false after kWaitTimeout.
bool wait_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + vqtest::kWaitTimeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        poll(nullptr, 0, 10);
    }
    return true;
}

// ser2net's configuration: `device` served on a loopback port, tuned for
// lock-step (no character delay, no Nagle delay on the accepted socket).
std::string ser2net_config(int port, const std::string& device) {
    return "%YAML 1.1\n---\nconnection: &vq318\n"
           "    accepter: tcp(nodelay),127.0.0.1," +
           std::to_string(port) + "\n    connector: serialdev," + device +
           ",115200n81,local\n    options:\n      chardelay: false\n";
}

// A part program of `count` lines of about 30 characters. Now and then a line
// carries bytes that only a transparent path delivers unchanged: a tab, the
// flow-control characters, a telnet command byte (0xFF) and a Latin-1 degree sign.
std::string part_program(int count) {
    std::string text;
    for (int i = 1; i <= count; ++i) {
        text += "N" + std::to_string(i) + " G01 X" + std::to_string(i % 200) + ".25 Y" +
                std::to_string(i % 150) + " F300";
        if (i % 50 == 7) text += " (\t\x11\x13\xff\xb0)";
        text += "\n";
    }
    return text;
}

// The first `count` lines of `text`, with their line feeds.
std::string first_lines(const std::string& text, long count) {
    std::size_t end = 0;
    for (long i = 0; i < count && end != std::string::npos; ++i)
        end = text.find('\n', end) + 1;
    return text.substr(0, end);
}

long count_lines(const std::string& text) {
    return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

// One board on a direct link and one behind the device server, each with a
// log of what it received, and the part programs in the test's directory.
class DeviceServer : public testing::Test {
protected:
    void SetUp() override {
        ser2net_ = find_tool("ser2net");
        socat_ = find_tool("socat");
        if (ser2net_.empty() || socat_.empty())
            GTEST_SKIP() << "ser2net and socat are needed and not installed here "
                            "(scripts/deps.sh test installs them)";
        ASSERT_TRUE(direct_.ready() && served_.ready());
        ASSERT_TRUE(start_path());
    }

    // Starts ser2net serving the board's device on a free loopback port, and
    // socat's pseudo-terminal at link() connected to it without Nagle delay.
    testing::AssertionResult start_path() {
        bridge_.reset();
        server_.reset();
        // Another program may take the port between the look and ser2net's bind.
        for (int attempt = 0; attempt < 3 && !server_; ++attempt) {
            port_ = free_port();
            const std::string config = dir_.file("ser2net.yaml");
            vqtest::write_file(config, ser2net_config(port_, served_.link()));
            // -d: stay in the foreground, messages to the output; -u: no lock file.
            server_ = std::make_unique<Process>(ser2net_,
                                                std::vector<std::string>{"-d", "-u", "-c", config});
            if (!wait_until([&] { return tcp_socket_seen(port_, false, kListen); }))
                server_.reset();
        }
        if (!server_) return testing::AssertionFailure() << "ser2net did not start listening";
        bridge_ = std::make_unique<Process>(
            socat_,
            std::vector<std::string>{"pty,link=" + link() + ",raw,echo=0",
                                     "tcp:127.0.0.1:" + std::to_string(port_) + ",nodelay"});
        if (!wait_until([&] {
                return vqtest::path_exists(link()) && tcp_socket_seen(port_, true, kEstablished);
            })) {
            bridge_->read_for(Millis{100});
            server_->read_for(Millis{100});
            return testing::AssertionFailure() << "socat did not connect; socat said:\n"
                                               << bridge_->output() << "ser2net said:\n"
                                               << server_->output();
        }
        return testing::AssertionSuccess();
    }

    // The device vqdnc uses: socat's end of the network path.
    std::string link() const { return dir_.file("com1"); }

    vqtest::RunResult run(const std::vector<std::string>& args, const std::string& input,
                          const std::string& device) {
        return run_vqdnc(args, input, {{"VQDNC_COM1", device}}, dir_.path());
    }

    TempDir dir_;
    Sim direct_{{}, "direct", dir_.path()};
    Sim served_{{}, "served", dir_.path()};
    std::string ser2net_;
    std::string socat_;
    int port_ = -1;
    std::unique_ptr<Process> server_;
    std::unique_ptr<Process> bridge_;
};

TEST_F(DeviceServer, DownloadArrivesByteForByteAndShowsAsOnADirectLink) {
    const std::string part = part_program(300);
    dir_.write("part.nc", part);
    const auto direct = run({"-fpart.nc"}, "", direct_.link());
    const auto served = run({"-fpart.nc"}, "", link());
    EXPECT_EQ(served_.log(), part);
    EXPECT_EQ(direct_.log(), part);
    EXPECT_EQ(served.output, direct.output);
    EXPECT_EQ(served.exit_status, 1);
}

// The query, a typed line, and a typed line after b: on this link b only
// re-opens the local pseudo-terminal, and the link goes on working.
TEST_F(DeviceServer, TypedLinesQueryAndRateChangeShowAsOnADirectLink) {
    const std::string session = "G01 X5 Y2\ni\nb9600 g X1\ne\n";
    const auto direct = run({}, session, direct_.link());
    const auto served = run({}, session, link());
    EXPECT_EQ(served_.log(), "n1 G01 X5 Y2\nvn1 g X1\n");
    EXPECT_EQ(served.output, direct.output);
    EXPECT_EQ(direct_.log(), served_.log());
}

// ser2net stopped in the middle of a download: vqdnc reports the lost link at
// once, says which line the controller acknowledged last, and is back at its prompt; once
// the path is up again, the next command re-opens the link.
TEST_F(DeviceServer, ServerStoppedMidDownloadEndsTheDownloadAtOnce) {
    const std::string part = part_program(5000);  // far more than goes out before the stop
    dir_.write("part.nc", part);
    auto program = vqtest::start_vqdnc({}, {{"VQDNC_COM1", link()}}, dir_.path());
    ASSERT_TRUE(program->send("fpart.nc\n"));
    ASSERT_TRUE(served_.wait_log(first_lines(part, 100)));
    server_->signal(SIGTERM);
    ASSERT_TRUE(server_->wait_exit());

    ASSERT_TRUE(program->expect("\nLink lost on COM1 (")) << program->output().substr(0, 400);
    ASSERT_TRUE(program->expect("the device hung up - port closed\n")) << program->unmatched();
    ASSERT_TRUE(
        program->expect("Download of 'part.nc' stopped: the link was lost\n  The "
                        "controller acknowledged line "))
        << program->unmatched();
    const long sent = std::atol(program->unmatched().c_str());
    ASSERT_TRUE(program->expect("  To resume: cCOM1 b115200 r")) << program->unmatched();
    ASSERT_TRUE(program->expect("\n-")) << program->unmatched();

    // The board holds whole lines from the start of the file, and one line at
    // most differs from the count: a line goes out only after the previous
    // one's prompt, and the last one may have been lost on the way.
    const std::string received = served_.log();
    EXPECT_EQ(received, first_lines(part, count_lines(received)));
    EXPECT_LE(std::labs(sent - count_lines(received)), 1) << sent << " lines reported";

    program->read_for(Millis{300});
    EXPECT_EQ(program->unmatched(), "") << "nothing more after the prompt";

    // The board's answer to the line lost on the way may still come through
    // the new path and show before the echo; what counts is what arrives.
    ASSERT_TRUE(start_path());
    ASSERT_TRUE(program->send("g X1\ne\n"));
    EXPECT_TRUE(served_.wait_log(received + "n1 g X1\n")) << program->unmatched();
    EXPECT_EQ(program->finish().exit_status, 1);
    EXPECT_EQ(served_.log(), received + "n1 g X1\n");
}

}  // namespace
