// The termios serial device layer, on pseudo-terminals.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/device_hint.h"
#include "platform/device_map.h"
#include "platform/low_latency.h"
#include "platform/shown_text.h"

namespace {

using vqtest::read_file;
using namespace std::string_literals;

// Writes a file in `dir`, making the directories it needs.
void put_file(const vqtest::TempDir& dir, const std::string& name, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(dir.file(name)).parent_path());
    vqtest::write_file(dir.file(name), text);
}

// A pseudo-terminal whose slave is mapped to COM1; the test plays the
// controller on the master and keeps its own slave descriptor to look at the
// line settings the layer applied.
class SerialPort : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, name_, nullptr, nullptr), 0);
        setenv("VQDNC_COM1", name_, 1);
        latency_seam::sysfs_root = sysfs_.path().c_str();  // never the machine's own
        serial_open(serial::kPresetPort, 1, 1);
        serial_line_params(serial::kPresetPort, 0, 0, 8);
    }
    void TearDown() override {
        serial_close(0);
        serial_close(1);
        latency_seam::ioctl_function = real_ioctl_;
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
    vqtest::TempDir sysfs_;
    latency_seam::IoctlFunction real_ioctl_ = latency_seam::ioctl_function;
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
    setenv("VQDNC_COM13", "", 1);
    ASSERT_TRUE(device_path(12, path, sizeof path));
    EXPECT_STREQ(path, "");
    unsetenv("VQDNC_COM13");
}

// The driver behind the fake ioctl: its flags, and the low-latency flag as each
// TIOCSSERIAL asked for it.
struct FakeDriver {
    int refuse_with = 0;  // errno of every call; 0: the driver knows both requests
    int flags = 0;
    std::vector<int> low_latency_set;
} driver;

int fake_ioctl(int, unsigned long request, void* arg) {
    auto* info = static_cast<serial_struct*>(arg);
    if (driver.refuse_with != 0) {
        errno = driver.refuse_with;
        return -1;
    }
    if (request == TIOCGSERIAL) info->flags = driver.flags;
    if (request == TIOCSSERIAL) {
        driver.flags = info->flags;
        driver.low_latency_set.push_back(info->flags & ASYNC_LOW_LATENCY);
    }
    return 0;
}

struct LatencyCase {
    const char* name;
    int refuse_with;
    int flags;                 // the driver's flags before the open
    const char* timer;         // latency_timer before the open; "": no such file
    bool flag_switched;        // low latency asked for on open and taken back on close
    const char* timer_opened;  // latency_timer while the port is open
    bool event_char = false;   // the adapter offers an event character
};

void PrintTo(const LatencyCase& c, std::ostream* out) {
    *out << c.name;
}

class LowLatency : public SerialPort, public testing::WithParamInterface<LatencyCase> {};

// The device is reached through a stable name, as under /dev/serial/by-id/;
// its sysfs directory is named after the terminal it leads to.
TEST_P(LowLatency, AskedForOnOpenAndPutBackOnClose) {
    const LatencyCase& c = GetParam();
    driver = FakeDriver{c.refuse_with, c.flags, {}};
    latency_seam::ioctl_function = fake_ioctl;
    const std::string timer = "bus/usb-serial/devices/" +
                              std::filesystem::path(name_).filename().string() + "/latency_timer";
    if (*c.timer != '\0') put_file(sysfs_, timer, c.timer);
    const std::string event = std::filesystem::path(timer).replace_filename("event_char");
    if (c.event_char) put_file(sysfs_, event, "");
    std::filesystem::create_symlink(name_, sysfs_.file("usb-FTDI_A1-if00-port0"));
    setenv("VQDNC_COM1", sysfs_.file("usb-FTDI_A1-if00-port0").c_str(), 1);

    ASSERT_EQ(serial_open(0, 1024, 1024), 0);
    EXPECT_EQ(driver.flags, c.flag_switched ? c.flags | ASYNC_LOW_LATENCY : c.flags);
    EXPECT_EQ(read_file(sysfs_.file(timer)), c.timer_opened);
    EXPECT_EQ(serial_event_char(0, '-'), c.event_char ? 1 : 0);  // 0x100 enables it, '-' is 45
    EXPECT_EQ(read_file(sysfs_.file(event)), c.event_char ? "301\n" : "");
    serial_close(0);
    EXPECT_EQ(driver.flags, c.flags);
    EXPECT_EQ(read_file(sysfs_.file(timer)), c.timer);
    EXPECT_EQ(read_file(sysfs_.file(event)), c.event_char ? "0\n" : "");
    const std::vector<int> switched = {ASYNC_LOW_LATENCY, 0};
    EXPECT_EQ(driver.low_latency_set, c.flag_switched ? switched : std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(
    Devices, LowLatency,
    testing::Values(LatencyCase{"FtdiAdapter", 0, ASYNC_SPD_HI, "16\n", true, "1\n", true},
                    LatencyCase{"FlagAlreadyOn", 0, ASYNC_LOW_LATENCY, "1\n", false, "1\n"},
                    LatencyCase{"DriverWithoutTheIoctl", ENOTTY, 0, "16\n", false, "1\n"},
                    LatencyCase{"BuiltInUart", 0, 0, "", true, ""},
                    LatencyCase{"PseudoTerminal", ENOTTY, 0, "", false, ""},
                    LatencyCase{"DriverRefusesTheRequest", EINVAL, 0, "", false, ""}),
    [](const testing::TestParamInfo<LatencyCase>& info) { return std::string(info.param.name); });

// Outside bytes as the operator sees them, and a device path too long for a line.
TEST(ShownText, ControlBytesShowEscapedAndCharactersAsTheyAre) {
    const std::pair<std::string, std::string> rows[] = {
        {"a\\b\t\n\r\x1b\x7f", "a\\b\\t\\n\\r\\x1B\\x7F"},
        {"\xc2\xa0\xc2\xbf\xf4\x8f\xbf\xbf", "\xc2\xa0\xc2\xbf\xf4\x8f\xbf\xbf"},  // first and last
        // C1, beyond U+10FFFF, overlong, cut short
        {"\xc2\x9b\xf4\x90\x80\x80\xe0\x9f\xbf\xc3",
         "\\xC2\\x9B\\xF4\\x90\\x80\\x80\\xE0\\x9F\\xBF\\xC3"},
    };
    for (const auto& [bytes, text] : rows)
        EXPECT_EQ(shown(bytes).c_str(), text);
    const std::string middle = std::string(100, 'a') + std::string(100, 'b');
    setenv("VQDNC_COM13", ("/dev/" + middle + "\x1b" + std::string(10, 'c')).c_str(), 1);
    char path[kShownPathSize];
    shown_device_path(12, path, sizeof path);
    EXPECT_EQ(path, "/dev/" + std::string(57, 'a') + "..." + std::string(48, 'b') + "\\x1B" +
                        std::string(10, 'c'));
    unsetenv("VQDNC_COM13");
}

// The line after the error line of a failed open, by error number.
TEST(OpenFailure, SaysWhatToDo) {
    setenv("VQDNC_COM2", "/dev/ttyUSB3", 1);
    vqtest::TempDir dev;  // no serial devices in it
    device_seam::dev_root = dev.path().c_str();
    const std::string missing = "no such device - set VQDNC_COM2 to the controller's serial device";
    const std::string in_use = "in use by another program - close that program first";
    const std::pair<int, std::string> cases[] = {
        {ENOENT, missing + " (none found)"},
        {ENXIO, missing + " (none found)"},
        {EACCES, "permission denied"},  // no device to name the owner of
        {EBUSY, in_use},
        {EWOULDBLOCK, in_use},
        {ENOTTY, "not a terminal - VQDNC_COM2 must name a serial device"},
        {EIO,
         "no serial port answers (input/output error) - set VQDNC_COM2 to the "
         "controller's serial device (none found)"},
        {EROFS, "Read-only file system"},
    };
    for (const auto& [error, line] : cases) {
        char text[512];
        describe_open_failure(1, error, text, sizeof text);
        EXPECT_EQ(text, "COM2 is /dev/ttyUSB3: " + line);
    }
    setenv("VQDNC_COM2", "", 1);  // names no device: never /dev/ttyS1
    char text[512];
    describe_open_failure(1, ENOENT, text, sizeof text);
    EXPECT_STREQ(text,
                 "COM2 has no device: VQDNC_COM2 is empty - set it to the controller's "
                 "serial device (none found)");
    device_seam::dev_root = "/dev";
    unsetenv("VQDNC_COM2");
}

// The device's owner, group and mode; its group is advised only where that
// group may open it, never for a device only its owner may open.
TEST(OpenFailure, PermissionNamesOwnerGroupAndMode) {
    vqtest::TempDir dir;
    const std::string device = dir.file("ttyUSB0");
    ASSERT_TRUE(vqtest::write_file(device, ""));
    const group* dialout = getgrnam("dialout");
    if (geteuid() == 0 && dialout != nullptr) {
        ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);
    }
    struct stat info {};
    ASSERT_EQ(stat(device.c_str(), &info), 0);
    if (info.st_gid == 0) GTEST_SKIP() << "no group but root's to give the file";
    const std::string group_name = getgrgid(info.st_gid)->gr_name;
    const std::string start = "COM2 is " + device + ": permission denied (owner " +
                              getpwuid(info.st_uid)->pw_name + ", group " + group_name +
                              ", mode 06";
    setenv("VQDNC_COM2", device.c_str(), 1);
    char text[512];
    for (const auto& [mode, advice] :
         {std::pair{0600, "00) - ask the administrator for read and write access to it"s},
          {0660, "60) - add your user to the " + group_name + " group (sudo usermod -aG " +
                     group_name + " $USER) and log in again"}}) {
        ASSERT_EQ(chmod(device.c_str(), static_cast<mode_t>(mode)), 0);
        describe_open_failure(1, EACCES, text, sizeof text);
        EXPECT_EQ(text, start + advice);
    }
    unsetenv("VQDNC_COM2");
}

// A terminal a session runs on (a stale link's /dev/pts/N that a login now
// has) and /dev/ptmx are refused before anything on them is changed.
TEST_F(SerialPort, RefusesASessionsTerminalAndThePseudoTerminalMultiplexer) {
    vqtest::Process login("/bin/sh", {"-c", "tty; read line"}, {}, "", vqtest::Console::kPty);
    ASSERT_TRUE(login.expect("\n"));
    const std::string terminal = login.output().substr(0, login.output().find('\r'));
    const int watch = open(terminal.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios before{};
    termios after{};
    ASSERT_EQ(tcgetattr(watch, &before), 0);
    setenv("VQDNC_COM2", terminal.c_str(), 1);
    EXPECT_LT(serial_open(1, 1024, 1024), 0);
    EXPECT_EQ(errno, EBUSY);
    ASSERT_EQ(tcgetattr(watch, &after), 0);
    close(watch);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    char text[512];
    describe_open_failure(1, EBUSY, text, sizeof text);
    EXPECT_EQ(text, "COM2 is " + terminal + ": in use by another program (sh, PID " +
                        std::to_string(login.pid()) + ") - close that program first");
    setenv("VQDNC_COM2", "/dev/ptmx", 1);
    EXPECT_LT(serial_open(1, 1024, 1024), 0);
    EXPECT_EQ(errno, ENOTTY);
}

// Stable names first, else adapters by kernel name; a few at most, in name order.
TEST(OpenFailure, ListsTheSerialDevicesFound) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"ttyS0", "serial/x"}, "none found"},
        {{"ttyUSB1", "ttyS0", "ttyACM0", "ttyUSB0"}, "found: D/ttyACM0 D/ttyUSB0 D/ttyUSB1"},
        {{"ttyUSB0", "serial/by-id/usb-FTDI_B", "serial/by-id/usb-1a86_A"},
         "found: D/serial/by-id/usb-1a86_A D/serial/by-id/usb-FTDI_B"},
        {{"ttyUSB5", "ttyUSB4", "ttyUSB3", "ttyUSB2", "ttyUSB1", "ttyUSB0"},
         "found: D/ttyUSB0 D/ttyUSB1 D/ttyUSB2 D/ttyUSB3 ..."},
    };
    for (const auto& [files, listed] : cases) {
        vqtest::TempDir dev;
        for (const std::string& file : files)
            put_file(dev, file, "");
        device_seam::dev_root = dev.path().c_str();
        char text[512];
        list_serial_devices(text, sizeof text);
        EXPECT_EQ(text, std::regex_replace(listed, std::regex("D/"), dev.path() + "/"));
    }
    device_seam::dev_root = "/dev";
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
