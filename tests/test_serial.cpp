// Serial-port commands through a pseudo-terminal pair: the library writes to
// the slave side (named by LINALG_COM<n>), the test reads the master side.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "testhooks.h"
#include "linalg.h"
#include "console/rs232.h"
#include "console/serial_port.h"

using ConsoleFunctions::RS232;

namespace {

// Up to `count` bytes from fd, waiting at most timeout_ms for each.
std::vector<int> read_bytes(int fd, std::size_t count, int timeout_ms = 2000) {
    std::vector<int> got;
    while (got.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) break;
        unsigned char buf[64];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, count - got.size()));
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) got.push_back(buf[i]);
    }
    return got;
}

// Whatever else arrives within a short wait (should be nothing).
std::vector<int> leftover(int fd) { return read_bytes(fd, 64, 100); }

class SerialPty : public ::testing::Test {
protected:
    void SetUp() override {
        char name[256];
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        slave_name_ = name;
        setenv("LINALG_COM3", name, 1);
        linalg::testhooks::serial_trace(&trace_);
    }
    void TearDown() override {
        linalg::testhooks::serial_trace(nullptr);
        unsetenv("LINALG_COM3");
        close(master_);
        close(slave_);  // the test holds the slave open, so the master never sees a hang-up
    }
    // Wall_Ev1 on COM3: the byte it sent and its result.
    std::pair<std::vector<int>, int> wall1(int step, int nsteps, int blink) {
        const int r = RS232::Wall_Ev1(step, nsteps, blink, 3);
        return {read_bytes(master_, 1, 500), r};
    }
    std::vector<int> wall2(int step, int nsteps) {
        EXPECT_EQ(RS232::Wall_Ev2(step, nsteps, 7, 3), 0);
        return read_bytes(master_, 1, 500);
    }

    int master_ = -1;
    int slave_ = -1;
    std::string slave_name_;
    std::vector<std::string> trace_;
};

using Bytes = std::vector<int>;

} // namespace

// ---- port names and rates -----------------------------------------------

TEST(SerialNames, PortNumbersMapToComNamesAndDevices) {
    EXPECT_EQ(linalg::com_port_name(1), "COM1");
    EXPECT_EQ(linalg::com_port_name(20), "COM20");
    EXPECT_EQ(linalg::com_port_name(0), "");
    EXPECT_EQ(linalg::com_port_name(21), "");

    unsetenv("LINALG_COM3");
    unsetenv("LINALG_COM20");
    EXPECT_EQ(linalg::com_device_path(1), "/dev/ttyS0");
    EXPECT_EQ(linalg::com_device_path(3), "/dev/ttyS2");
    EXPECT_EQ(linalg::com_device_path(20), "/dev/ttyS19");
    EXPECT_EQ(linalg::com_device_path(0), "");
    EXPECT_EQ(linalg::com_device_path(21), "");

    setenv("LINALG_COM3", "/dev/ttyUSB0", 1);
    EXPECT_EQ(linalg::com_device_path(3), "/dev/ttyUSB0");
    EXPECT_EQ(linalg::com_device_path(2), "/dev/ttyS1");  // per port
    setenv("LINALG_COM3", "", 1);
    EXPECT_EQ(linalg::com_device_path(3), "/dev/ttyS2");  // empty: default
    unsetenv("LINALG_COM3");
}

TEST(SerialNames, BaudRates) {
    speed_t s = 0;
    ASSERT_TRUE(linalg::baud_to_speed(9600, &s));
    EXPECT_EQ(s, static_cast<speed_t>(B9600));
    ASSERT_TRUE(linalg::baud_to_speed(115200, &s));
    EXPECT_EQ(s, static_cast<speed_t>(B115200));
    EXPECT_TRUE(linalg::baud_to_speed(300, &s));
    EXPECT_FALSE(linalg::baud_to_speed(0, &s));
    EXPECT_FALSE(linalg::baud_to_speed(12345, &s));
    EXPECT_FALSE(linalg::baud_to_speed(4294967295u, &s));
}

// ---- byte senders ---------------------------------------------------------

TEST_F(SerialPty, SendCharWritesTheByteThenCarriageReturn) {
    EXPECT_EQ(RS232::SendChar(65, 3, 9600), 0);
    EXPECT_EQ(read_bytes(master_, 2), (Bytes{65, 13}));
    EXPECT_EQ(leftover(master_), Bytes{});
    const std::vector<std::string> steps = {"open " + slave_name_ + " 9600", "write 65", "write 13", "close"};
    EXPECT_EQ(trace_, steps);

    // The line was set to raw 8N1 at the requested rate, without flow control.
    termios mode;
    ASSERT_EQ(tcgetattr(slave_, &mode), 0);
    EXPECT_EQ(cfgetospeed(&mode), static_cast<speed_t>(B9600));
    EXPECT_EQ(mode.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(mode.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(mode.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(mode.c_oflag & OPOST, 0u);  // bytes pass unchanged (10 stays 10)
}

TEST_F(SerialPty, SendByteWritesOneByteUnchanged) {
    for (int b : {0, 10, 13, 200, 255}) {
        trace_.clear();
        EXPECT_EQ(RS232::SendByte(static_cast<unsigned char>(b), 3, 115200), 0);
        EXPECT_EQ(read_bytes(master_, 1), Bytes{b});
        EXPECT_EQ(trace_.size(), 3u);
    }
    EXPECT_EQ(leftover(master_), Bytes{});
    termios mode;
    ASSERT_EQ(tcgetattr(slave_, &mode), 0);
    EXPECT_EQ(cfgetospeed(&mode), static_cast<speed_t>(B115200));
}

TEST_F(SerialPty, MissingOrNonSerialDeviceIsAnInputOutputError) {
    setenv("LINALG_COM4", "/nonexistent/ttyX", 1);
    EXPECT_EQ(RS232::SendByte(65, 4, 9600), -1);
    EXPECT_EQ(RS232::SendChar(65, 4, 9600), -1);
    const std::vector<std::string> steps = {"open /nonexistent/ttyX 9600", "close"};
    trace_.clear();
    EXPECT_EQ(RS232::SendByte(65, 4, 9600), -1);
    EXPECT_EQ(trace_, steps);

    setenv("LINALG_COM4", "/dev/null", 1);  // exists, but is no serial line
    EXPECT_EQ(RS232::SendByte(65, 4, 9600), -1);
    unsetenv("LINALG_COM4");
}

TEST_F(SerialPty, UnsupportedBaudRateIsRejectedWithoutTouchingTheDevice) {
    for (unsigned int baud : {0u, 12345u, 9601u, 4294967295u}) {
        SCOPED_TRACE(baud);
        EXPECT_EQ(RS232::SendByte(65, 3, baud), -2);
        EXPECT_EQ(RS232::SendChar(65, 3, baud), -2);
    }
    EXPECT_TRUE(trace_.empty());
    EXPECT_EQ(leftover(master_), Bytes{});
}

TEST_F(SerialPty, PortNumbersOutsideOneToTwentyAreRejected) {
    setenv("LINALG_COM0", slave_name_.c_str(), 1);
    setenv("LINALG_COM21", slave_name_.c_str(), 1);
    for (int port : {0, 21, 99, 255}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(RS232::SendByte(65, static_cast<unsigned char>(port), 9600), -2);
        EXPECT_EQ(RS232::SendChar(65, static_cast<unsigned char>(port), 9600), -2);
    }
    EXPECT_TRUE(trace_.empty());
    EXPECT_EQ(leftover(master_), Bytes{});
    unsetenv("LINALG_COM0");
    unsetenv("LINALG_COM21");
}

// ---- progress bar ----------------------------------------------------------

TEST_F(SerialPty, BarExamples) {
    EXPECT_EQ(wall1(0, 10, 0), std::make_pair(Bytes{0x04}, 1));
    EXPECT_EQ(wall1(0, 10, 1), std::make_pair(Bytes{0x00}, 0));
    EXPECT_EQ(wall1(5, 10, 0), std::make_pair(Bytes{0x3C}, 1));
    EXPECT_EQ(wall1(10, 10, 1), std::make_pair(Bytes{0x78}, 1));
    // p = 0.8335 lies in the fifth band: the threshold is 0.834.
    EXPECT_EQ(wall1(1667, 2000, 0), std::make_pair(Bytes{0x7C}, 1));
    EXPECT_EQ(wall1(834, 1000, 0), std::make_pair(Bytes{0xFC}, 1));
    EXPECT_EQ(trace_.front(), "open " + slave_name_ + " 9600");
}

TEST_F(SerialPty, BarBandsLitAndDark) {
    // Band edges as 1000ths: the last value below each threshold and the
    // threshold itself.
    struct Case { int step; int lit; int dark; };
    const Case cases[] = {
        {0, 0x04, 0x00},   {166, 0x04, 0x00}, {167, 0x0C, 0x04}, {332, 0x0C, 0x04},
        {333, 0x1C, 0x0C}, {499, 0x1C, 0x0C}, {500, 0x3C, 0x1C}, {666, 0x3C, 0x1C},
        {667, 0x7C, 0x3C}, {833, 0x7C, 0x3C}, {834, 0xFC, 0x7C}, {999, 0xFC, 0x7C},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        EXPECT_EQ(wall1(c.step, 1000, 0), std::make_pair(Bytes{c.lit}, 1));
        EXPECT_EQ(wall1(c.step, 1000, 1), std::make_pair(Bytes{c.dark}, 0));
        EXPECT_EQ(wall1(c.step, 1000, -5), std::make_pair(Bytes{c.dark}, 0));  // any non-zero blink
    }
    EXPECT_EQ(leftover(master_), Bytes{});
}

TEST_F(SerialPty, BarOutsideTheRange) {
    // Complete and negative progress keep the caller's blink value.
    EXPECT_EQ(wall1(11, 10, 0), std::make_pair(Bytes{0x78}, 0));
    EXPECT_EQ(wall1(11, 10, 7), std::make_pair(Bytes{0x78}, 7));
    EXPECT_EQ(wall1(-1, 10, 0), std::make_pair(Bytes{0x00}, 0));
    EXPECT_EQ(wall1(-1, 10, 3), std::make_pair(Bytes{0x00}, 3));
    EXPECT_EQ(wall1(5, 0, 2), std::make_pair(Bytes{0x78}, 2));   // +inf
    EXPECT_EQ(wall1(-5, 0, 2), std::make_pair(Bytes{0x00}, 2));  // -inf
    // 0/0 is not a number: nothing is sent.
    trace_.clear();
    EXPECT_EQ(RS232::Wall_Ev1(0, 0, 4, 3), 4);
    EXPECT_TRUE(trace_.empty());
    EXPECT_EQ(leftover(master_), Bytes{});
}

TEST_F(SerialPty, BlinkingWhenTheResultIsPassedBack) {
    int blink = 0;
    std::vector<int> sent;
    for (int i = 0; i < 4; ++i) {
        blink = RS232::Wall_Ev1(2, 10, blink, 3);
        sent.push_back(read_bytes(master_, 1, 500).at(0));
    }
    EXPECT_EQ(sent, (Bytes{0x0C, 0x04, 0x0C, 0x04}));
    EXPECT_EQ(blink, 0);
}

// ---- percentage ---------------------------------------------------------------

TEST_F(SerialPty, PercentageExamples) {
    EXPECT_EQ(wall2(0, 10), Bytes{1});
    EXPECT_EQ(wall2(1, 3), Bytes{33});
    EXPECT_EQ(wall2(3, 1), Bytes{44});  // 300 modulo 256
    EXPECT_EQ(wall2(1, 2), Bytes{50});
    EXPECT_EQ(wall2(10, 10), Bytes{100});
    EXPECT_EQ(wall2(2, 3), Bytes{66});  // truncated, not rounded
    EXPECT_EQ(wall2(1, 1000), Bytes{1});  // 0.1 % truncates to 0, sent as 1
    EXPECT_EQ(wall2(256, 100), Bytes{1});  // 256 modulo 256 is 0, sent as 1
    EXPECT_EQ(wall2(-1, 2), Bytes{206});   // -50 wraps like a byte
    EXPECT_EQ(wall2(0, 0), Bytes{1});      // NaN
    EXPECT_EQ(wall2(1, 0), Bytes{1});      // +inf: no integer part
    EXPECT_EQ(leftover(master_), Bytes{});
}

TEST_F(SerialPty, PercentageBeyondTheIntRangeIsTakenModulo256) {
    // The integer part of a large finite percentage is still reduced modulo
    // 256: 2147483700 = 2^31 + 52, and 214748364700 = 256 * 838860799 + 156.
    EXPECT_EQ(wall2(21474837, 1), Bytes{52});
    EXPECT_EQ(wall2(2147483647, 1), Bytes{156});
    EXPECT_EQ(wall2(2147483647, 100), Bytes{255});  // 2147483647 itself, still in range
    EXPECT_EQ(wall2(25000000, 1), Bytes{1});        // 2500000000 = 256 * 9765625: 0 becomes 1
    EXPECT_EQ(leftover(master_), Bytes{});
}

TEST(SerialFailures, EncodersIgnoreTheSenderResult) {
    setenv("LINALG_COM6", "/nonexistent/ttyY", 1);
    EXPECT_EQ(RS232::Wall_Ev1(0, 10, 0, 6), 1);
    EXPECT_EQ(RS232::Wall_Ev1(0, 10, 1, 6), 0);
    EXPECT_EQ(RS232::Wall_Ev2(5, 10, 0, 6), 0);
    EXPECT_EQ(RS232::Wall_Ev1(5, 10, 0, 0), 1);  // no such port
    EXPECT_EQ(RS232::Wall_Ev2(5, 10, 0, 21), 0);
    unsetenv("LINALG_COM6");
}
