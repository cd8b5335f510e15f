// POSIX serial devices for the RS232 commands (Windows: serial_port_win.cpp).
#include "console/serial_port.h"

#include <cerrno>
#include <type_traits>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace linalg {

static_assert(std::is_same<speed_t, line_speed>::value, "line_speed holds a termios speed_t");

namespace {

// How long a write waits for the device to take one byte.
constexpr int WRITE_TIMEOUT_MS = 5000;

struct BaudEntry {
    unsigned int baud;
    speed_t speed;
};

const BaudEntry baud_table[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

} // namespace

std::string default_com_device(int port) { return "/dev/ttyS" + std::to_string(port - 1); }

bool baud_to_speed(unsigned int baud, line_speed* speed) {
    for (const auto& e : baud_table)
        if (e.baud == baud) {
            *speed = e.speed;
            return true;
        }
    return false;
}

SerialPort::~SerialPort() { close(); }

int SerialPort::open(const std::string& path, line_speed speed) {
    close();
    // Non-blocking, so a missing carrier cannot hold the open; no
    // controlling terminal, so the port never sends us SIGHUP.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return SERIAL_IO_ERROR;  // missing, busy or access denied
    fd_ = fd;

    termios mode;
    if (tcgetattr(fd_, &mode) != 0) return SERIAL_IO_ERROR;  // not a serial line
    cfmakeraw(&mode);
    mode.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    mode.c_cflag |= CS8 | CLOCAL | CREAD;
    mode.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (cfsetispeed(&mode, speed) != 0 || cfsetospeed(&mode, speed) != 0) return SERIAL_ARG_ERROR;
    if (tcsetattr(fd_, TCSANOW, &mode) != 0) return errno == EINVAL ? SERIAL_ARG_ERROR : SERIAL_IO_ERROR;

    // Back to blocking mode for the writes (each still bounded by a poll).
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) return SERIAL_IO_ERROR;
    return SERIAL_OK;
}

int SerialPort::write_byte(unsigned char byte) {
    if (fd_ < 0) return SERIAL_IO_ERROR;
    for (;;) {
        pollfd p{static_cast<int>(fd_), POLLOUT, 0};
        const int r = poll(&p, 1, WRITE_TIMEOUT_MS);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || !(p.revents & POLLOUT)) return SERIAL_IO_ERROR;
        const ssize_t n = ::write(fd_, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        return n == 1 ? SERIAL_OK : SERIAL_IO_ERROR;
    }
}

void SerialPort::close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

} // namespace linalg
