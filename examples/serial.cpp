// Serial-port commands on a pseudo-terminal.
//
// RS232 functions open COM1..COM20 per call, write one byte (SendChar: the
// byte, then 13) and close the port. On Linux, COMn is the device named by
// the environment variable LINALG_COMn, else /dev/ttyS(n-1). Here COM3 is
// the slave side of a pseudo-terminal that this program opens itself, and
// the bytes are read back from the master side, as a device at the other
// end of the cable would receive them.
#include "linalg.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using ConsoleFunctions::RS232;

namespace {

// Reads what has arrived on the master side (waits up to 1 s for the first byte).
std::string received(int master) {
    std::string got;
    pollfd p{master, POLLIN, 0};
    int wait_ms = 1000;
    while (poll(&p, 1, wait_ms) > 0) {
        char buf[64];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
        wait_ms = 50;
    }
    return got;
}

void show(const char* what, int result, const std::string& bytes) {
    std::printf("%-28s returns %2d, sends", what, result);
    for (unsigned char c : bytes) std::printf(" %u", c);
    std::printf("\n");
}

} // namespace

int main() {
    int master, slave;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    setenv("LINALG_COM3", name, 1);  // COM3 is now this pseudo-terminal
    std::printf("COM3 = %s\n", name);

    int bad = 0;
    int r = RS232::SendByte('A', 3, 9600);
    std::string got = received(master);
    show("SendByte('A', COM3, 9600)", r, got);
    bad += r != 0 || got != "A";

    r = RS232::SendChar('B', 3, 115200);
    got = received(master);
    show("SendChar('B', COM3, 115200)", r, got);
    bad += r != 0 || got != "B\r";

    // Progress encoders: one command byte at 9600 baud for step / nsteps.
    int blink = 0;
    for (int step = 0; step <= 10; step += 5) {
        const std::string args = "(" + std::to_string(step) + ", 10)";
        blink = RS232::Wall_Ev1(step, 10, blink, 3);
        got = received(master);
        show(("Wall_Ev1" + args).c_str(), blink, got);
        bad += got.size() != 1;
        r = RS232::Wall_Ev2(step, 10, 0, 3);
        got = received(master);
        show(("Wall_Ev2" + args).c_str(), r, got);
        bad += got.size() != 1;
    }

    // Errors: a port number outside 1..20 is -2 (no device touched), a
    // device that does not exist -1.
    r = RS232::SendByte('C', 21, 9600);
    std::printf("SendByte to COM21 returns %d\n", r);
    bad += r != -2;
    setenv("LINALG_COM4", "/nonexistent/tty", 1);
    r = RS232::SendByte('C', 4, 9600);
    std::printf("SendByte to a missing device returns %d\n", r);
    bad += r != -1;

    close(slave);
    close(master);
    return bad ? 1 : 0;
}
