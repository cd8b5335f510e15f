// The console operations behind ConsoleFunctions::CRT on POSIX terminals:
// cursor placement, text attributes, screen clearing and key reading.
//
// Output goes through standard output as VT/ANSI control sequences, written
// only when standard output is a terminal (where it is redirected there is no
// screen to control, and the sequences would only garble the file). Standard
// output is flushed before and after every sequence, so text printed with
// printf and the control sequences reach the terminal in the order of the
// calls.
//
// Keys are read from standard input. On a terminal the line discipline is
// switched to non-canonical mode without echo for the read, so one key
// arrives without Enter, and the previous settings are restored afterwards,
// also when the process exits or is ended by a signal meanwhile. When
// standard input is not a terminal it is read as it is, one byte per key.
#ifndef LINALG_CONSOLE_TERMINAL_H
#define LINALG_CONSOLE_TERMINAL_H

#include <cstdint>
#include <string>

namespace linalg {

// Text attribute of the console: bits 0-3 text colour, bits 4-7 background,
// each colour 1 = blue, 2 = green, 4 = red, 8 = bright.
constexpr std::uint16_t ATTR_DEFAULT = 7;    // light grey on black
constexpr std::uint16_t ATTR_REVERSE = 112;  // black on light grey

// The control sequences, as pure functions.
// Cursor to zero-based column x, row y (1-based in the sequence); empty when
// a coordinate is negative, which no screen cell has.
std::string ansi_cursor_position(std::int16_t x, std::int16_t y);
// "ESC[0;<fg>;<bg>m" for the low 8 bits of attr: the colour bits are
// reordered from blue/green/red to ANSI red/green/blue, and the bright bit
// selects the bright colours (90-97 text, 100-107 background).
std::string ansi_attribute(std::uint16_t attr);
// Home the cursor and clear the screen and its scroll-back.
std::string ansi_clear_screen();

// The platform operations. Coordinates are taken as 16-bit signed values.
void console_set_cursor(std::int16_t x, std::int16_t y);
void console_set_attribute(std::uint16_t attr);
void console_clear();

// Waits for one key and returns its first byte (0-255); the further bytes of
// a key that arrives as several bytes (escape sequences of arrow and function
// keys, Alt+key, a UTF-8 character) are read and dropped. With
// drop_pending, every further byte already waiting on a terminal is dropped
// too (at most 4096, so a stream that never pauses cannot hold the caller).
// Standard output is flushed first, so a prompt is visible during the wait.
// When standard input is not a terminal, one byte is read with getchar and
// nothing is dropped. Returns -1 at the end of input or on a read error.
int console_getch(bool drop_pending);
// Whether a byte is pending on standard input, without waiting.
bool console_kbhit();

} // namespace linalg

#endif
