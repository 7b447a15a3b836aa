// The termios serial device layer, on pseudo-terminals.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/device_map.h"

namespace {

// A pseudo-terminal whose slave is mapped to COM1; the test plays the
// controller on the master and keeps its own slave descriptor to look at the
// line settings the layer applied.
class SerialPort : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, name_, nullptr, nullptr), 0);
        setenv("VQDNC_COM1", name_, 1);
        serial_open(serial::kPresetPort, 1, 1);
        serial_line_params(serial::kPresetPort, 0, 0, 8);
    }
    void TearDown() override {
        serial_close(0);
        serial_close(1);
        unsetenv("VQDNC_COM1");
        unsetenv("VQDNC_COM2");
        close(master_);
        close(slave_);
    }
    termios line() {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    std::string read_master() {
        std::string got;
        char buf[256];
        pollfd pfd{master_, POLLIN, 0};
        while (poll(&pfd, 1, 200) > 0) {
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    int master_ = -1;
    int slave_ = -1;
    char name_[256] = {};
};

TEST_F(SerialPort, OpensRawEightNOneAtTheChosenRate) {
    ASSERT_EQ(serial_open(0, 1024, 1024), 0);
    ASSERT_EQ(serial_rate(0, 5), 0);
    termios t = line();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    ASSERT_EQ(serial_rate(0, 8), 0);
    t = line();
    EXPECT_EQ(cfgetospeed(&t), B57600);  // shown as 57200
    ASSERT_EQ(serial_rate(0, 0), 0);
    t = line();
    EXPECT_EQ(cfgetospeed(&t), B110);
    errno = 0;
    EXPECT_LT(serial_rate(0, 10), 0);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(SerialPort, PresetFramingAppliesToLaterOpens) {
    // A pseudo-terminal always keeps eight bits without parity; the stop bits show.
    ASSERT_EQ(serial_line_params(serial::kPresetPort, 0, 2, 8), 0);
    ASSERT_EQ(serial_open(0, 1024, 1024), 0);
    EXPECT_EQ(line().c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_LT(serial_line_params(serial::kPresetPort, 3, 0, 8), 0);
    EXPECT_LT(serial_line_params(serial::kPresetPort, 0, 1, 8), 0);
    EXPECT_LT(serial_line_params(serial::kPresetPort, 0, 0, 9), 0);
}

TEST_F(SerialPort, BytesPassUnchangedBothWays) {
    ASSERT_EQ(serial_open(0, 1024, 1024), 0);
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    for (char c : all)
        serial_put(0, static_cast<unsigned char>(c));
    EXPECT_EQ(serial_send(0), 0);  // sends what was queued
    EXPECT_EQ(read_master(), all);

    ASSERT_EQ(write(master_, all.data(), all.size()), 256);
    std::string got;
    while (got.size() < all.size() && serial_wait(0, 2000) > 0) {
        for (int c = serial_get(0); c >= 0; c = serial_get(0))
            got.push_back(static_cast<char>(c));
    }
    EXPECT_EQ(got, all);
    EXPECT_LT(serial_get(0), 0);  // nothing waiting: returns at once
}

TEST_F(SerialPort, OpenDiscardsWhatArrivedBefore) {
    ASSERT_EQ(write(master_, "stale-", 6), 6);
    ASSERT_EQ(serial_open(0, 1024, 1024), 0);
    ASSERT_EQ(write(master_, "X", 1), 1);
    ASSERT_EQ(serial_wait(0, 2000), 1);
    EXPECT_EQ(serial_get(0), 'X');
}

TEST_F(SerialPort, MissingDeviceFailsWithItsErrno) {
    setenv("VQDNC_COM2", "/nonexistent/tty", 1);
    errno = 0;
    EXPECT_LT(serial_open(1, 1024, 1024), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_LT(serial_open(13, 1024, 1024), 0);
    EXPECT_LT(serial_open(-2, 1024, 1024), 0);
}

TEST_F(SerialPort, PortThatIsNotOpenFailsWithoutHarm) {
    EXPECT_LT(serial_put(0, 'x'), 0);
    EXPECT_LT(serial_get(0), 0);
    EXPECT_LT(serial_rate(0, 9), 0);
    EXPECT_LT(serial_close(0), 0);
    EXPECT_LT(serial_wait(0, 10), 0);
    EXPECT_LT(serial_get(99), 0);
    EXPECT_LT(serial_put(-5, 'x'), 0);
}

TEST_F(SerialPort, SecondOpenOfTheSameDeviceIsRefused) {
    ASSERT_EQ(serial_open(0, 1024, 1024), 0);
    ASSERT_EQ(serial_rate(0, 9), 0);
    setenv("VQDNC_COM2", name_, 1);
    EXPECT_LT(serial_open(1, 1024, 1024), 0);  // EBUSY for others, EWOULDBLOCK for root
    EXPECT_EQ(cfgetospeed(&(const termios&)line()), B115200);
    // Closing releases the device for the next user.
    serial_close(0);
    EXPECT_EQ(serial_open(1, 1024, 1024), 0);
}

TEST_F(SerialPort, DeviceMapFallsBackToTtyS) {
    char path[64];
    unsetenv("VQDNC_COM13");
    ASSERT_TRUE(device_path(12, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS12");
    setenv("VQDNC_COM13", "/dev/ttyUSB0", 1);
    ASSERT_TRUE(device_path(12, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyUSB0");
    EXPECT_FALSE(device_path(12, path, 8));
    unsetenv("VQDNC_COM13");
}

// A controller that has gone away is reported at once, by the wait, the read
// and the write alike, instead of a wait that sleeps out its time.
TEST_F(SerialPort, HungUpDeviceIsReportedAtOnce) {
    ASSERT_EQ(serial_open(0, 1024, 1024), 0);
    close(master_);
    master_ = -1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial_wait(0, 5000), serial::kDeviceLost);
    EXPECT_EQ(errno, EIO);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(serial_get(0), serial::kDeviceLost);
    ASSERT_EQ(serial_put(0, 'x'), 0);
    EXPECT_EQ(serial_send(0), serial::kDeviceLost);
}

// Closing gives the device back as found, and a pseudo-terminal never gets the
// exclusive flag, which a killed program would leave behind.
TEST_F(SerialPort, DeviceIsLeftAsFound) {
    const termios before = line();
    ASSERT_EQ(serial_open(0, 1024, 1024), 0);
    ASSERT_EQ(serial_rate(0, 3), 0);
    int exclusive = 1;
    ASSERT_EQ(ioctl(slave_, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    serial_close(0);
    const termios after = line();
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

}  // namespace
