// Console functions: the bytes that reach a pseudo-terminal, key reading in
// raw mode and from pipes, and the closing prompts with their exit statuses.
// Functions that talk to a terminal run in a forked child whose standard
// input and output are the slave side of a fresh pseudo-terminal; the test
// reads and writes the master side, always with timeouts.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "linalg.h"
#include "console/terminal.h"
#include "support/reference.h"

using ConsoleFunctions::CRT;

namespace {

struct ChildRun {
    std::string output;   // bytes read from the master side
    int status = -1;      // raw wait status
    bool timed_out = false;
    tcflag_t final_lflag = 0;  // local modes of the terminal when the child ended
    bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Process id of the child of the running run_on_pty, for drivers.
pid_t pty_child = -1;

// Runs `body` in a child on a pseudo-terminal. `driver` is called in the
// parent after each read with the master and slave descriptors and the
// output so far; it may type input. The child ends with body's result.
ChildRun run_on_pty(const std::function<int()>& body,
                    const std::function<void(int, int, const std::string&)>& driver = nullptr,
                    int timeout_ms = 5000) {
    ChildRun run;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return run;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        close(master);
        dup2(slave, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
        close(slave);
        const int code = body();
        std::fflush(stdout);
        _exit(code);
    }
    pty_child = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool done = false;
    while (!done) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            char buf[4096];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) run.output.append(buf, static_cast<std::size_t>(n));
        }
        if (driver) driver(master, slave, run.output);
        if (waitpid(pid, &run.status, WNOHANG) == pid) {
            // Collect what is still in transit.
            for (;;) {
                pollfd q{master, POLLIN, 0};
                if (poll(&q, 1, 50) <= 0) break;
                char buf[4096];
                const ssize_t n = read(master, buf, sizeof buf);
                if (n <= 0) break;
                run.output.append(buf, static_cast<std::size_t>(n));
            }
            done = true;
        } else if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &run.status, 0);
            run.timed_out = true;
            done = true;
        }
    }
    termios mode;
    if (tcgetattr(slave, &mode) == 0) run.final_lflag = mode.c_lflag;
    close(master);
    close(slave);
    return run;
}

// Runs `body` in a child whose standard input is a pipe holding `input`
// (then end of input) and whose standard output is captured.
ChildRun run_on_pipes(const std::string& input, const std::function<int()>& body, int timeout_ms = 5000) {
    ChildRun run;
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        ADD_FAILURE() << "pipe failed";
        return run;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(in[1]);
        close(out[0]);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[0]);
        close(out[1]);
        const int code = body();
        std::fflush(stdout);
        _exit(code);
    }
    close(in[0]);
    close(out[1]);
    if (!input.empty() && write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        ADD_FAILURE() << "short write";
    close(in[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            char buf[4096];
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n > 0) {
                run.output.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) break;  // the child closed its output
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            run.timed_out = true;
            break;
        }
    }
    waitpid(pid, &run.status, 0);
    close(out[0]);
    return run;
}

// Driver that types `keys` once the child's terminal is in non-canonical
// mode (so the test also proves that keypressed switched it).
std::function<void(int, int, const std::string&)> type_when_raw(const std::string& keys, bool* typed) {
    return [keys, typed](int master, int slave, const std::string&) {
        if (*typed) return;
        termios mode;
        if (tcgetattr(slave, &mode) == 0 && !(mode.c_lflag & ICANON)) {
            *typed = write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
        }
    };
}

// Driver that types `keys` once `prompt` has appeared.
std::function<void(int, int, const std::string&)> type_after(const std::string& prompt, const std::string& keys,
                                                               bool* typed) {
    return [prompt, keys, typed](int master, int slave, const std::string& out) {
        termios mode;
        if (*typed || out.find(prompt) == std::string::npos) return;
        // Type only once the child waits, so no echo races with the prompt.
        if (keys != "\n" && (tcgetattr(slave, &mode) != 0 || (mode.c_lflag & ICANON))) return;
        *typed = write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    };
}

// In the child after keypressed: how many bytes are still pending, read in
// non-canonical mode so partial lines count.
int pending_bytes() {
    termios mode;
    tcgetattr(STDIN_FILENO, &mode);
    termios raw = mode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 2;  // 0.2 s
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    int count = 0;
    char c;
    while (read(STDIN_FILENO, &c, 1) == 1) ++count;
    tcsetattr(STDIN_FILENO, TCSANOW, &mode);
    return count;
}

bool echo_and_canonical() {
    termios mode;
    return tcgetattr(STDIN_FILENO, &mode) == 0 && (mode.c_lflag & ICANON) && (mode.c_lflag & ECHO);
}

// keypressed in a child on a pseudo-terminal after `keys` were typed:
// "key=<code> pending=<n> restored=<0|1>".
std::string keypressed_report(const std::string& keys) {
    bool typed = false;
    const ChildRun run = run_on_pty(
        [] {
            const char key = CRT::keypressed();
            const bool restored = echo_and_canonical();
            std::printf("key=%d pending=%d restored=%d", static_cast<unsigned char>(key), pending_bytes(),
                        restored ? 1 : 0);
            return 0;
        },
        type_when_raw(keys, &typed));
    EXPECT_FALSE(run.timed_out);
    EXPECT_TRUE(typed);
    EXPECT_TRUE(run.exited(0));
    return run.output;
}

} // namespace

// ---- control sequences ------------------------------------------------------

TEST(ConsoleSequences, AttributeMapsWindowsColourBitsToAnsi) {
    // Text colours 0-7: black, blue, green, cyan, red, magenta, brown, grey.
    const int ansi_text[8] = {30, 34, 32, 36, 31, 35, 33, 37};
    for (int c = 0; c < 8; ++c) {
        SCOPED_TRACE(c);
        EXPECT_EQ(linalg::ansi_attribute(static_cast<std::uint16_t>(c)),
                  "\x1b[0;" + std::to_string(ansi_text[c]) + ";40m");
        EXPECT_EQ(linalg::ansi_attribute(static_cast<std::uint16_t>(c + 8)),
                  "\x1b[0;" + std::to_string(ansi_text[c] + 60) + ";40m");
        EXPECT_EQ(linalg::ansi_attribute(static_cast<std::uint16_t>(c << 4)),
                  "\x1b[0;30;" + std::to_string(ansi_text[c] + 10) + "m");
        EXPECT_EQ(linalg::ansi_attribute(static_cast<std::uint16_t>((c + 8) << 4)),
                  "\x1b[0;30;" + std::to_string(ansi_text[c] + 70) + "m");
    }
    EXPECT_EQ(linalg::ansi_attribute(30), "\x1b[0;93;44m");   // yellow on blue
    EXPECT_EQ(linalg::ansi_attribute(0x1F0), "\x1b[0;30;107m");  // only the low 8 bits count
}

TEST(ConsoleSequences, CursorPositionIsOneBasedRowThenColumn) {
    EXPECT_EQ(linalg::ansi_cursor_position(0, 0), "\x1b[1;1H");
    EXPECT_EQ(linalg::ansi_cursor_position(3, 7), "\x1b[8;4H");
    EXPECT_EQ(linalg::ansi_cursor_position(32767, 32767), "\x1b[32768;32768H");
    EXPECT_EQ(linalg::ansi_cursor_position(-1, 0), "");
    EXPECT_EQ(linalg::ansi_cursor_position(0, -1), "");
}

TEST(ConsoleTerminal, GotoxyAndScreenClear) {
    const ChildRun run = run_on_pty([] {
        CRT::gotoxy(3, 7);
        CRT::gotoxy(32767, 1);      // the last column of the 16-bit range
        CRT::gotoxy(-1, 4);         // no such cell: nothing
        CRT::gotoxy(40000, 0);      // beyond the 16-bit range: nothing
        CRT::gotoxy(65536 + 2, 1);  // no wrap to column 2: nothing
        CRT::gotoxy(70000, 1);
        CRT::gotoxy(1, 70000);
        CRT::clrscr();
        return 0;
    });
    ASSERT_TRUE(run.exited(0));
    EXPECT_EQ(run.output, "\x1b[8;4H\x1b[2;32768H\x1b[H\x1b[2J\x1b[3J");
}

TEST(ConsoleTerminal, TextColours) {
    const ChildRun run = run_on_pty([] {
        CRT::SetTextColor(14, 1);
        std::printf("|");
        CRT::SetTextColor(20, -3);  // clamped to 15 on 0
        std::printf("|");
        CRT::SetTextColor(7, 0);
        CRT::SetTextDefault();
        std::printf("|");
        CRT::SetTextColor(0, 7);
        CRT::SetTextReverse();
        return 0;
    });
    ASSERT_TRUE(run.exited(0));
    EXPECT_EQ(run.output,
              "\x1b[0;93;44m|\x1b[0;97;40m|\x1b[0;37;40m\x1b[0;37;40m|\x1b[0;30;47m\x1b[0;30;47m");
}

TEST(ConsoleTerminal, ClrlineBlanksAndLeavesTheCursorAfterThem) {
    const ChildRun run = run_on_pty([] {
        CRT::clrline(5, 9, 2);
        std::printf("X");  // lands at column 10
        CRT::clrline(9, 5, 2);
        std::printf("Y");
        CRT::clrline(4, 4, 0);
        return 0;
    });
    ASSERT_TRUE(run.exited(0));
    EXPECT_EQ(run.output, "\x1b[3;6H     X\x1b[3;10HY\x1b[1;5H ");
}

TEST(ConsoleTerminal, TextAndControlStayInOrderWithFullBuffering) {
    const ChildRun run = run_on_pty([] {
        static char buffer[1 << 16];
        setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
        std::printf("A");
        CRT::gotoxy(0, 0);
        std::printf("B");
        CRT::SetTextReverse();
        std::printf("C");
        CRT::clrline(1, 2, 3);
        std::printf("D");
        return 0;
    });
    ASSERT_TRUE(run.exited(0));
    EXPECT_EQ(run.output, "A\x1b[1;1HB\x1b[0;30;47mC\x1b[4;2H  D");
}

TEST(ConsoleRedirected, NoControlSequencesWhenStdoutIsNotATerminal) {
    ref::StdoutCapture capture;
    std::printf("a");
    CRT::gotoxy(3, 4);
    CRT::SetTextColor(14, 1);
    CRT::SetTextReverse();
    CRT::clrscr();
    CRT::clrline(5, 9, 2);
    std::printf("b");
    EXPECT_EQ(capture.finish(), "a     b");
}

TEST(ConsoleRedirected, ClrlineWithFarApartEndsIsBounded) {
    ref::StdoutCapture capture;
    CRT::clrline(INT_MIN, INT_MAX, 0);
    const std::string out = capture.finish();
    EXPECT_EQ(out.size(), 65536u);
    EXPECT_EQ(out.find_first_not_of(' '), std::string::npos);
}

// ---- keys -------------------------------------------------------------------

TEST(ConsoleKeys, PlainKeyWithoutEchoOrEnter) {
    EXPECT_EQ(keypressed_report("x"), "key=120 pending=0 restored=1");
}

TEST(ConsoleKeys, ArrowKeyReturnsItsFirstByteAndLeavesNothingPending) {
    EXPECT_EQ(keypressed_report("\x1b[A"), "key=27 pending=0 restored=1");
    EXPECT_EQ(keypressed_report("\x1b[15~"), "key=27 pending=0 restored=1");  // F5
    EXPECT_EQ(keypressed_report("\x1bOP"), "key=27 pending=0 restored=1");    // F1
}

TEST(ConsoleKeys, FurtherPendingKeysAreDiscarded) {
    EXPECT_EQ(keypressed_report("abc"), "key=97 pending=0 restored=1");
    EXPECT_EQ(keypressed_report("\xc3\xa9z"), "key=195 pending=0 restored=1");  // UTF-8 e-acute
}

TEST(ConsoleKeys, LoneEscapeIsAKey) {
    EXPECT_EQ(keypressed_report("\x1b"), "key=27 pending=0 restored=1");
}

TEST(ConsoleKeys, TerminalIsRestoredWhenASignalEndsTheWait) {
    bool signalled = false;
    const ChildRun run = run_on_pty(
        [] {
            CRT::keypressed();
            return 0;
        },
        [&](int, int slave, const std::string&) {
            termios mode;
            if (!signalled && tcgetattr(slave, &mode) == 0 && !(mode.c_lflag & ICANON)) {
                signalled = true;
                kill(pty_child, SIGTERM);
            }
        });
    ASSERT_TRUE(signalled);
    EXPECT_FALSE(run.timed_out);
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM);
    EXPECT_TRUE((run.final_lflag & ICANON) && (run.final_lflag & ECHO));
}

TEST(ConsoleKeys, FromAPipeBytesAreReadAsTheyCome) {
    const ChildRun run = run_on_pipes("xyz", [] {
        const char a = CRT::keypressed();
        const char b = CRT::keypressed();
        const int rest = std::getchar();
        const char end = CRT::keypressed();  // end of input: no wait
        std::printf("%c%c%c%d", a, b, rest, static_cast<int>(end));
        return 0;
    });
    EXPECT_FALSE(run.timed_out);
    ASSERT_TRUE(run.exited(0));
    EXPECT_EQ(run.output, "xyz-1");
}

// ---- closing prompts --------------------------------------------------------

TEST(ConsolePrompts, PressAndExitEndsWithTheStatus) {
    bool typed = false;
    const ChildRun run = run_on_pty(
        [] {
            CRT::Press_and_Exit(3);
            std::printf("returned");
            return 0;
        },
        type_after("Press any key...", "k", &typed));
    EXPECT_FALSE(run.timed_out);
    EXPECT_TRUE(typed);
    EXPECT_TRUE(run.exited(3)) << run.status;
    EXPECT_EQ(run.output, "\r\nPress any key...");  // no echo of the key
    EXPECT_TRUE((run.final_lflag & ICANON) && (run.final_lflag & ECHO));
}

TEST(ConsolePrompts, PressAndExitWithZeroReturns) {
    bool typed = false;
    const ChildRun run = run_on_pty(
        [] {
            CRT::Press_and_Exit(0);
            const bool restored = echo_and_canonical();
            std::printf("returned %d %d", restored ? 1 : 0, pending_bytes());
            return 0;
        },
        type_after("Press any key...", "\x1b[B", &typed));  // an arrow key
    EXPECT_FALSE(run.timed_out);
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.output, "\r\nPress any key...returned 1 0");
}

TEST(ConsolePrompts, EnterAndExitEndsWithTheStatus) {
    bool typed = false;
    const ChildRun run = run_on_pty(
        [] {
            CRT::Enter_and_Exit(3);
            std::printf("returned");
            return 0;
        },
        type_after("Press <Enter>...", "\n", &typed));
    EXPECT_FALSE(run.timed_out);
    EXPECT_TRUE(run.exited(3)) << run.status;
    EXPECT_EQ(run.output.rfind("\r\nPress <Enter>...", 0), 0u) << run.output;
    EXPECT_EQ(run.output.find("returned"), std::string::npos);
}

TEST(ConsolePrompts, EnterAndExitWithZeroReturns) {
    const ChildRun run = run_on_pipes("\nrest", [] {
        CRT::Enter_and_Exit(0);
        std::printf("|%c", std::getchar());
        return 0;
    });
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.output, "\nPress <Enter>...|r");
}

TEST(ConsolePrompts, PromptsAtTheEndOfInputDoNotWait) {
    const ChildRun press = run_on_pipes("", [] {
        CRT::Press_and_Exit(7);
        return 0;
    });
    EXPECT_FALSE(press.timed_out);
    EXPECT_TRUE(press.exited(7));
    EXPECT_EQ(press.output, "\nPress any key...");

    const ChildRun enter = run_on_pipes("", [] {
        CRT::Enter_and_Exit(5);
        return 0;
    });
    EXPECT_FALSE(enter.timed_out);
    EXPECT_TRUE(enter.exited(5));
    EXPECT_EQ(enter.output, "\nPress <Enter>...");
}

TEST(ConsolePrompts, NonZeroResultsNeverReadAsSuccess) {
    // Only the low 8 bits of a status reach the parent: 256 would read as 0.
    const struct { int res; int status; } cases[] = {{256, 1}, {512, 1}, {-256, 1}, {-1, 255}, {258, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.res);
        const int res = c.res;
        EXPECT_TRUE(run_on_pipes("", [res] { CRT::Press_and_Exit(res); return 0; }).exited(c.status));
        EXPECT_TRUE(run_on_pipes("", [res] { CRT::Enter_and_Exit(res); return 0; }).exited(c.status));
    }
}

TEST(ConsolePrompts, PressAndExitFromAPipeTakesOneByte) {
    const ChildRun run = run_on_pipes("ab", [] {
        CRT::Press_and_Exit(0);
        std::printf("|%c", std::getchar());
        return 0;
    });
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.output, "\nPress any key...|b");
}
