// Serial byte senders and progress encoders behind ConsoleFunctions::RS232.
#include "base/message.h"
#include "console/rs232.h"
#include "console/serial_port.h"

#include <cmath>
#include <cstdlib>
#include <new>
#include <string>

namespace linalg {

namespace {

std::vector<std::string>* trace_log = nullptr;

// Open -> one-byte writes -> close; the port is closed on every path, and a
// failure is recorded as Error::Io (the exported functions store None on
// entry, and each sends at most once). The device path is a string: when
// even that cannot be allocated the send is an input/output error (the port
// cannot be reached), not an exception.
int send_bytes(const unsigned char* bytes, int count, unsigned char port, unsigned int baudRate) {
    try {
        const std::string path = com_device_path(port);
        line_speed speed;
        if (path.empty() || !baud_to_speed(baudRate, &speed)) {
            set_status(Error::Io);
            return SERIAL_ARG_ERROR;
        }

        SerialPort serial;
        if (serial_tracing()) serial_trace_step("open " + path + " " + std::to_string(baudRate));
        int result = serial.open(path, speed);
        for (int i = 0; i < count && result == SERIAL_OK; ++i) {
            if (serial_tracing()) serial_trace_step("write " + std::to_string(bytes[i]));
            result = serial.write_byte(bytes[i]);
        }
        serial.close();
        if (serial_tracing()) serial_trace_step("close");
        if (result != SERIAL_OK) set_status(Error::Io);
        return result;
    } catch (const std::bad_alloc&) {
        set_status(Error::Io);
        return SERIAL_IO_ERROR;
    }
}

constexpr unsigned int PROGRESS_BAUD = 9600;

} // namespace

std::string com_port_name(int port) {
    if (port < 1 || port > 20) return std::string();
    return "COM" + std::to_string(port);
}

std::string com_device_path(int port) {
    if (port < 1 || port > 20) return std::string();
    const std::string var = "LINALG_" + com_port_name(port);
    const char* override_path = std::getenv(var.c_str());
    if (override_path && *override_path) return override_path;
    return default_com_device(port);
}

namespace testhooks {
void serial_trace(std::vector<std::string>* t) { trace_log = t; }
} // namespace testhooks

void serial_trace_step(const std::string& step) {
    if (trace_log) trace_log->push_back(step);
}

bool serial_tracing() { return trace_log != nullptr; }

int SendByteCOM(unsigned char dat, unsigned char port, unsigned int baudRate) {
    return send_bytes(&dat, 1, port, baudRate);
}

int SendCharCOM(unsigned char dat, unsigned char port, unsigned int baudRate) {
    const unsigned char bytes[2] = {dat, 13};
    return send_bytes(bytes, 2, port, baudRate);
}

int Wall_E_v1(int step, int nsteps, int blink, unsigned char port) {
    const double p = static_cast<double>(step) / static_cast<double>(nsteps);
    // Bands of the bar: the byte with the newest bit lit and with it dark.
    struct Band {
        double below;
        unsigned char lit;
        unsigned char dark;
    };
    static const Band bands[] = {
        {0.167, 0x04, 0x00}, {0.333, 0x0C, 0x04}, {0.5, 0x1C, 0x0C},
        {0.667, 0x3C, 0x1C}, {0.834, 0x7C, 0x3C}, {1.0, 0xFC, 0x7C},
    };
    if (p >= 0.0) {
        for (const auto& band : bands)
            if (p < band.below) {
                if (blink == 0) {
                    SendByteCOM(band.lit, port, PROGRESS_BAUD);
                    return 1;
                }
                SendByteCOM(band.dark, port, PROGRESS_BAUD);
                return 0;
            }
        SendByteCOM(0x78, port, PROGRESS_BAUD);  // complete
        return blink;
    }
    if (p < 0.0) SendByteCOM(0x00, port, PROGRESS_BAUD);
    return blink;  // p < 0, or NaN (0/0): nothing sent
}

int Wall_E_v2(int step, int nsteps, int /*blink*/, unsigned char port) {
    const double p = static_cast<double>(step) / static_cast<double>(nsteps);
    const double percent = std::trunc(p * 100.0);
    // The integer part modulo 256, exact for every finite double (fmod is),
    // also beyond the int range. A negative remainder wraps like a byte
    // (-50 -> 206). NaN (0/0) and the infinities (x/0) have no integer part
    // and send 1, like a remainder of 0.
    int v = 0;
    if (std::isfinite(percent)) {
        double m = std::fmod(percent, 256.0);
        if (m < 0.0) m += 256.0;
        v = static_cast<int>(m);
    }
    if (v == 0) v = 1;
    SendByteCOM(static_cast<unsigned char>(v), port, PROGRESS_BAUD);
    return 0;
}

} // namespace linalg
