// Windows serial ports for the RS232 commands: the Win32 communications API
// on \\.\COM<n> (POSIX: serial_port.cpp).
#include "console/serial_port.h"


#include <windows.h>

namespace linalg {

namespace {

// How long a write waits for the device to take one byte.
constexpr DWORD WRITE_TIMEOUT_MS = 5000;

HANDLE as_handle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

} // namespace

// The device namespace reaches COM10 and above, which plain names do not.
std::string default_com_device(int port) { return "\\\\.\\" + com_port_name(port); }

// Any rate but 0 goes to the driver, which refuses what the port cannot take
// when the line is set.
bool baud_to_speed(unsigned int baud, line_speed* speed) {
    if (baud == 0) return false;
    *speed = baud;
    return true;
}

SerialPort::~SerialPort() { close(); }

int SerialPort::open(const std::string& path, line_speed speed) {
    close();
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return SERIAL_IO_ERROR;  // missing, busy or access denied
    fd_ = reinterpret_cast<std::intptr_t>(h);

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return SERIAL_IO_ERROR;  // not a serial line
    // Raw 8N1 without flow control, in either direction.
    dcb.BaudRate = speed;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(h, &dcb)) return GetLastError() == ERROR_INVALID_PARAMETER ? SERIAL_ARG_ERROR : SERIAL_IO_ERROR;

    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_MS;
    if (!SetCommTimeouts(h, &timeouts)) return SERIAL_IO_ERROR;
    return SERIAL_OK;
}

int SerialPort::write_byte(unsigned char byte) {
    if (fd_ == -1) return SERIAL_IO_ERROR;
    DWORD written = 0;
    if (!WriteFile(as_handle(fd_), &byte, 1, &written, nullptr)) return SERIAL_IO_ERROR;
    return written == 1 ? SERIAL_OK : SERIAL_IO_ERROR;
}

void SerialPort::close() {
    if (fd_ == -1) return;
    CloseHandle(as_handle(fd_));
    fd_ = -1;
}

} // namespace linalg
