// ConsoleFunctions::CRT (screen, cursor, colours, keys and the closing
// prompts, on the terminal layer of console/terminal.h) and
// ConsoleFunctions::RS232 (serial bytes and progress codes, console/rs232.h).
#include "linalg.h"
#include "base/message.h"
#include "console/rs232.h"
#include "console/terminal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace ConsoleFunctions {

namespace {

// Coordinates and attributes reach the console as 16-bit words.
std::int16_t low16(int v) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(v)); }

int clamp_colour(int c) { return c > 15 ? 15 : (c < 0 ? 0 : c); }

// No console row is wider than the 16-bit column range; more blanks than
// that cannot land on the row and would only keep the caller busy.
constexpr long long kMaxBlanks = 65536;

// Ends the process with status res. A POSIX parent sees only the low 8 bits
// of the status, so a non-zero res whose low byte is 0 (256, 512, ...) would
// read as success; such a status becomes 1.
[[noreturn]] void exit_with(int res) {
    std::exit((res & 0xFF) == 0 ? 1 : res);
}

} // namespace

void CRT::clrscr() { linalg::console_clear(); }

void CRT::gotoxy(int x, int y) {
    // The console's coordinates are 16-bit signed: a coordinate outside
    // 0..32767 names no cell and moves nothing (rather than wrapping).
    if (x < 0 || y < 0 || x > INT16_MAX || y > INT16_MAX) return;
    linalg::console_set_cursor(low16(x), low16(y));
}

void CRT::SetTextDefault() { linalg::console_set_attribute(linalg::ATTR_DEFAULT); }

void CRT::SetTextReverse() { linalg::console_set_attribute(linalg::ATTR_REVERSE); }

void CRT::SetTextColor(int fColor, int bColor) {
    const int f = clamp_colour(fColor);
    const int b = clamp_colour(bColor);
    const int f_bright = f > 7 ? 1 : 0;
    const int b_bright = b > 7 ? 1 : 0;
    const int attr = ((b_bright * 8 + (b - 8 * b_bright)) * 2 + f_bright) * 8 + (f - 8 * f_bright);
    linalg::console_set_attribute(static_cast<std::uint16_t>(attr));
}

void CRT::clrline(int x1, int x2, int y) {
    gotoxy(x1, y);
    if (x1 > x2) return;
    // Counted in 64 bits: x2 - x1 + 1 overflows int for far-apart ends.
    long long blanks = static_cast<long long>(x2) - x1 + 1;
    if (blanks > kMaxBlanks) blanks = kMaxBlanks;
    for (long long i = 0; i < blanks; ++i) std::printf(" ");
    std::fflush(stdout);  // the cursor now stands after the last blank
}

char CRT::keypressed() {
    const int c = linalg::console_getch(true);
    linalg::set_status(c < 0 ? linalg::Error::Io : linalg::Error::None);
    return static_cast<char>(c);
}

void CRT::Press_and_Exit(int res) {
    linalg::emit(linalg::Out::out, "\nPress any key...");
    linalg::console_getch(false);
    if (res != 0) exit_with(res);
}

void CRT::Enter_and_Exit(int res) {
    linalg::emit(linalg::Out::out_flushed, "\nPress <Enter>...");
    std::getchar();
    if (res != 0) exit_with(res);
}

// Each RS232 function stores None on entry; a failed send records Io.
int RS232::SendByte(unsigned char dat, unsigned char port, unsigned int baudRate) {
    linalg::clear_status();
    return linalg::SendByteCOM(dat, port, baudRate);
}

int RS232::SendChar(unsigned char dat, unsigned char port, unsigned int baudRate) {
    linalg::clear_status();
    return linalg::SendCharCOM(dat, port, baudRate);
}

int RS232::Wall_Ev1(int step, int nsteps, int blink, unsigned char port) {
    linalg::clear_status();
    return linalg::Wall_E_v1(step, nsteps, blink, port);
}

int RS232::Wall_Ev2(int step, int nsteps, int blink, unsigned char port) {
    linalg::clear_status();
    return linalg::Wall_E_v2(step, nsteps, blink, port);
}

} // namespace ConsoleFunctions
