// POSIX terminal layer: ANSI output sequences and raw key reading.
#include "console/terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace linalg {

namespace {

// Windows colour number (blue = 1, green = 2, red = 4) to ANSI (red = 1,
// green = 2, blue = 4).
int ansi_colour(int c) { return ((c & 1) << 2) | (c & 2) | ((c & 4) >> 2); }

void write_control(const std::string& seq) {
    if (seq.empty() || !isatty(STDOUT_FILENO)) return;
    std::fflush(stdout);
    std::fputs(seq.c_str(), stdout);
    std::fflush(stdout);
}

// ---- raw mode of a terminal standard input --------------------------------

termios saved_mode;
volatile std::sig_atomic_t raw_active = 0;

const int guarded_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int n_guarded = sizeof guarded_signals / sizeof guarded_signals[0];
struct sigaction previous_action[n_guarded];
bool handler_installed[n_guarded];

void restore_mode() {
    if (raw_active) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
        raw_active = 0;
    }
}

// A signal that would end the process while the terminal is in raw mode:
// restore the terminal, then let the signal take its default course.
void on_fatal_signal(int sig) {
    restore_mode();
    std::signal(sig, SIG_DFL);
    raise(sig);
}

void install_signal_guards() {
    for (int i = 0; i < n_guarded; ++i) {
        handler_installed[i] = false;
        struct sigaction current;
        if (sigaction(guarded_signals[i], nullptr, &current) != 0) continue;
        // Only signals that would end the process: a caller's own handler or
        // an ignored signal stays as it is.
        if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) continue;
        struct sigaction guard {};
        guard.sa_handler = on_fatal_signal;
        sigemptyset(&guard.sa_mask);
        if (sigaction(guarded_signals[i], &guard, &previous_action[i]) == 0) handler_installed[i] = true;
    }
}

void remove_signal_guards() {
    for (int i = 0; i < n_guarded; ++i)
        if (handler_installed[i]) {
            sigaction(guarded_signals[i], &previous_action[i], nullptr);
            handler_installed[i] = false;
        }
}

// Switches a terminal standard input to non-canonical mode without echo, one
// byte per read. False when standard input is not a terminal.
bool enter_raw_mode() {
    if (!isatty(STDIN_FILENO)) return false;
    termios mode;
    if (tcgetattr(STDIN_FILENO, &mode) != 0) return false;
    static bool exit_hook = false;
    if (!exit_hook) exit_hook = (std::atexit(restore_mode) == 0);
    saved_mode = mode;
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    install_signal_guards();
    raw_active = 1;
    // TCSANOW: keys typed before the call stay readable.
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) {
        raw_active = 0;
        remove_signal_guards();
        return false;
    }
    return true;
}

void leave_raw_mode() {
    restore_mode();
    remove_signal_guards();
}

// One byte from standard input, waiting at most timeout_ms (negative: no
// limit). -1 when none arrived, at the end of input or on an error.
int read_byte(int timeout_ms) {
    for (;;) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int r = poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        unsigned char c;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        return n == 1 ? c : -1;
    }
}

// The bytes of one key arrive together; this is how long to wait for the
// next one before a lone ESC counts as the Escape key.
constexpr int KEY_BYTE_WAIT_MS = 50;

// Reads and drops the rest of a key whose first byte was `first`.
void drop_rest_of_key(int first) {
    if (first == 0x1B) {
        const int second = read_byte(KEY_BYTE_WAIT_MS);
        if (second == '[') {
            // CSI: parameter and intermediate bytes up to a final byte.
            for (int i = 0; i < 32; ++i) {
                const int b = read_byte(KEY_BYTE_WAIT_MS);
                if (b < 0 || (b >= 0x40 && b <= 0x7E)) break;
            }
        } else if (second == 'O') {
            read_byte(KEY_BYTE_WAIT_MS);  // SS3: one final byte
        }
        // Any other second byte was Alt+key and is dropped with the ESC.
    } else if (first >= 0xC0 && first < 0xF8) {
        const int continuation = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : 1;
        for (int i = 0; i < continuation; ++i)
            if (read_byte(KEY_BYTE_WAIT_MS) < 0) break;
    }
}

} // namespace

std::string ansi_cursor_position(std::int16_t x, std::int16_t y) {
    if (x < 0 || y < 0) return std::string();
    return "\x1b[" + std::to_string(y + 1) + ";" + std::to_string(x + 1) + "H";
}

std::string ansi_attribute(std::uint16_t attr) {
    const int fg = attr & 0x0F;
    const int bg = (attr >> 4) & 0x0F;
    const int fg_code = (fg & 8 ? 90 : 30) + ansi_colour(fg & 7);
    const int bg_code = (bg & 8 ? 100 : 40) + ansi_colour(bg & 7);
    return "\x1b[0;" + std::to_string(fg_code) + ";" + std::to_string(bg_code) + "m";
}

std::string ansi_clear_screen() { return "\x1b[H\x1b[2J\x1b[3J"; }

void console_set_cursor(std::int16_t x, std::int16_t y) { write_control(ansi_cursor_position(x, y)); }

void console_set_attribute(std::uint16_t attr) { write_control(ansi_attribute(attr)); }

void console_clear() { write_control(ansi_clear_screen()); }

bool console_kbhit() {
    for (;;) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int r = poll(&p, 1, 0);
        if (r < 0 && errno == EINTR) continue;
        return r > 0 && (p.revents & POLLIN);
    }
}

int console_getch(bool drop_pending) {
    std::fflush(stdout);
    if (enter_raw_mode()) {
        const int c = read_byte(-1);
        if (c >= 0) {
            drop_rest_of_key(c);
            if (drop_pending)
                for (int i = 0; i < 4096 && console_kbhit(); ++i)
                    if (read_byte(0) < 0) break;
        }
        leave_raw_mode();
        return c;
    }
    const int c = std::getchar();
    return c == EOF ? -1 : c;
}

} // namespace linalg
