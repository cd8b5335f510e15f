// Serial ports behind ConsoleFunctions::RS232: termios devices on POSIX
// (serial_port.cpp), the Win32 communications API on Windows
// (serial_port_win.cpp).
//
// Port numbers 1 to 20 name COM1 to COM20. Each name maps to a device path:
// the value of the environment variable LINALG_COM<n> when it is set and not
// empty (for USB adapters, pseudo-terminals, ...), else /dev/ttyS<n-1> on
// POSIX and \\.\COM<n> on Windows.
#ifndef LINALG_CONSOLE_SERIAL_PORT_H
#define LINALG_CONSOLE_SERIAL_PORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace linalg {

// Result codes of the byte senders.
constexpr int SERIAL_OK = 0;
constexpr int SERIAL_IO_ERROR = -1;   // missing, refused or failing device
constexpr int SERIAL_ARG_ERROR = -2;  // no such port number, unusable setting

// "COM<port>" for 1 to 20, else empty.
std::string com_port_name(int port);
// Device path of COM<port> (see above), else empty: the variable
// LINALG_COM<port> when set, else the platform's default device.
std::string com_device_path(int port);
// The platform's default device of COM<port>, port 1 to 20.
std::string default_com_device(int port);
// The platform's line speed for a baud rate: a termios speed_t on POSIX, the
// rate itself on Windows (whose driver judges it when the line is set).
using line_speed = unsigned int;
// The line speed for a baud rate, or false when the platform has no such
// rate (0 included).
bool baud_to_speed(unsigned int baud, line_speed* speed);

// One open serial device, raw 8N1 without flow control at a fixed rate.
// Opening never waits for a carrier (non-blocking open, no controlling
// terminal); writes wait at most a few seconds for the device to take the
// byte. The destructor closes the device.
class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `path` and sets the line; SERIAL_OK, SERIAL_IO_ERROR when the
    // device is missing, refused or not a serial line, SERIAL_ARG_ERROR when
    // it rejects the speed.
    int open(const std::string& path, line_speed speed);
    // Writes one byte with one write; SERIAL_OK or SERIAL_IO_ERROR.
    int write_byte(unsigned char byte);
    void close();

private:
    // The open device: a file descriptor on POSIX, a HANDLE on Windows.
    std::intptr_t fd_ = -1;
};

// Records one step of a sender in the test trace, if one is set; senders
// build the step's text only while serial_tracing() is true.
void serial_trace_step(const std::string& step);
bool serial_tracing();

} // namespace linalg

#endif
