// The Windows platform layers: the console through the Win32 console API
// (read back with GetConsoleScreenBufferInfo, ReadConsoleOutputAttribute and
// ReadConsoleOutputCharacter), the serial port on a COM port that the
// wrapper tests/windows/serial_pty.py maps to a pseudo-terminal, and large
// work blocks from the virtual memory manager. The barrier fibers and the
// OpenMP variants run in test_cuda_emu and test_omp.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <windows.h>

#include "base/work_memory.h"
#include "base/work_memory_os.h"
#include "linalg.h"

using ConsoleFunctions::CRT;
using ConsoleFunctions::RS232;

namespace {

HANDLE out() { return GetStdHandle(STD_OUTPUT_HANDLE); }

bool screen(CONSOLE_SCREEN_BUFFER_INFO* info) { return GetConsoleScreenBufferInfo(out(), info) != 0; }

WORD attribute_at(SHORT x, SHORT y) {
    WORD a = 0;
    DWORD n = 0;
    ReadConsoleOutputAttribute(out(), &a, 1, COORD{x, y}, &n);
    return n == 1 ? a : 0xFFFF;
}

std::string text_at(SHORT x, SHORT y, DWORD count) {
    std::string s(count, '?');
    DWORD n = 0;
    ReadConsoleOutputCharacterA(out(), &s[0], count, COORD{x, y}, &n);
    s.resize(n);
    return s;
}

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (!screen(&info)) GTEST_SKIP() << "no console (under Wine, run on a terminal, e.g. through script -qc)";
    }
    void TearDown() override { CRT::SetTextDefault(); }
};

TEST_F(Console, ColoursAndCursorReadBack) {
    struct Case {
        int f, b;
        WORD attr;
    };
    // Windows colour bits: blue 1, green 2, red 4, bright 8; background << 4.
    for (const Case& c : {Case{14, 1, 0x1E}, Case{7, 0, 0x07}, Case{15, 15, 0xFF}, Case{20, -3, 0x0F}}) {
        CRT::SetTextColor(c.f, c.b);
        CONSOLE_SCREEN_BUFFER_INFO info;
        ASSERT_TRUE(screen(&info));
        EXPECT_EQ(info.wAttributes, c.attr) << c.f << "," << c.b;
    }
    CRT::SetTextColor(12, 2);
    CRT::gotoxy(5, 3);
    CONSOLE_SCREEN_BUFFER_INFO info;
    ASSERT_TRUE(screen(&info));
    EXPECT_EQ(info.dwCursorPosition.X, 5);
    EXPECT_EQ(info.dwCursorPosition.Y, 3);
    std::printf("XY");  // flushed by the next console call
    CRT::SetTextReverse();
    EXPECT_EQ(text_at(5, 3, 2), "XY");
    EXPECT_EQ(attribute_at(5, 3), 0x2C);
    EXPECT_EQ(attribute_at(6, 3), 0x2C);
    ASSERT_TRUE(screen(&info));
    EXPECT_EQ(info.wAttributes, 0x70);
    CRT::SetTextDefault();
    ASSERT_TRUE(screen(&info));
    EXPECT_EQ(info.wAttributes, 0x07);
}

TEST_F(Console, ClrlineBlanksItsColumnsAndLeavesTheCursorAfterThem) {
    CRT::gotoxy(0, 4);
    std::printf("abcdefghij");
    CRT::clrline(2, 6, 4);
    EXPECT_EQ(text_at(0, 4, 10), "ab     hij");
    CONSOLE_SCREEN_BUFFER_INFO info;
    ASSERT_TRUE(screen(&info));
    EXPECT_EQ(info.dwCursorPosition.X, 7);
    EXPECT_EQ(info.dwCursorPosition.Y, 4);
}

TEST_F(Console, ClrscrClearsTheScreen) {
    CRT::gotoxy(3, 2);
    std::printf("Q");
    CRT::gotoxy(0, 0);
    ASSERT_EQ(text_at(3, 2, 1), "Q");
    CRT::clrscr();
    EXPECT_EQ(text_at(3, 2, 1), " ");
}

// Run by serial_pty.py with COM3 linked to a pseudo-terminal, which checks
// the bytes on the master side: 'A', 'B' 13, 50.
TEST(Serial, BytesGoToTheComPort) {
    if (!std::getenv("LINALG_TEST_COM3_PTY")) GTEST_SKIP() << "COM3 is not mapped to a pseudo-terminal (serial_pty.py)";
    EXPECT_EQ(RS232::SendByte('A', 3, 9600), 0);
    EXPECT_EQ(RS232::SendChar('B', 3, 115200), 0);
    EXPECT_EQ(RS232::Wall_Ev2(50, 100, 0, 3), 0);
}

TEST(Serial, MissingPortsAndBadArgumentsGiveTheirCodes) {
    EXPECT_EQ(RS232::SendByte('A', 19, 9600), -1);  // no such device
    EXPECT_EQ(RS232::SendByte('A', 21, 9600), -2);  // no such port number
    EXPECT_EQ(RS232::SendByte('A', 0, 9600), -2);
    EXPECT_EQ(RS232::SendByte('A', 3, 0), -2);      // no such rate
}

TEST(WorkMemory, LargeBlocksComeFromTheSystemAndOneIsKept) {
    const std::size_t bytes = std::size_t{12} << 20;
    void* p = linalg::work_alloc(bytes);
    ASSERT_NE(p, nullptr);
    EXPECT_GE(linalg::large_block_size(p), bytes);
    static_cast<char*>(p)[bytes - 1] = 1;
    linalg::work_free(p);
    void* q = linalg::work_alloc(bytes - 4096);
    EXPECT_EQ(q, p) << "the kept block is handed out again";
    linalg::work_free(q);
    void* small = linalg::work_alloc(1000);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(linalg::large_block_size(small), 0u);
    linalg::work_free(small);
}

} // namespace
