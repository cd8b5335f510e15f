// Windows console layer (POSIX: terminal.cpp): the Win32 console API on the
// standard output handle, _getch/_kbhit for keys, "cls" for clearing.
// Standard output is flushed before and after every console call, so text
// printed with printf and the console's own changes happen in call order.
// Without a console (output redirected to a file or a pipe) the calls fail
// and change nothing, as on a POSIX file.
#include "console/terminal.h"

#include <conio.h>
#include <cstdio>
#include <cstdlib>

#include <windows.h>

namespace linalg {

namespace {

HANDLE console_out() { return GetStdHandle(STD_OUTPUT_HANDLE); }

bool is_console(HANDLE h) {
    DWORD mode;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

} // namespace

void console_set_cursor(std::int16_t x, std::int16_t y) {
    if (x < 0 || y < 0) return;
    std::fflush(stdout);
    COORD at;
    at.X = x;
    at.Y = y;
    SetConsoleCursorPosition(console_out(), at);
}

void console_set_attribute(std::uint16_t attr) {
    std::fflush(stdout);
    SetConsoleTextAttribute(console_out(), static_cast<WORD>(attr & 0xFF));
}

void console_clear() {
    std::fflush(stdout);
    if (!is_console(console_out())) return;  // "cls" would only write a form feed to a file
    std::system("cls");
}

bool console_kbhit() {
    if (is_console(GetStdHandle(STD_INPUT_HANDLE))) return _kbhit() != 0;
    return false;
}

int console_getch(bool drop_pending) {
    std::fflush(stdout);
    if (!is_console(GetStdHandle(STD_INPUT_HANDLE))) {
        const int c = std::getchar();
        return c == EOF ? -1 : c;
    }
    const int c = _getch() & 0xFF;
    // Arrow and function keys arrive as 0 or 0xE0 followed by a scan code.
    if (c == 0 || c == 0xE0) _getch();
    if (drop_pending)
        for (int i = 0; i < 4096 && _kbhit(); ++i) _getch();
    return c;
}

} // namespace linalg
