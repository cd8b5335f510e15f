// Serial-port commands behind ConsoleFunctions::RS232: one-byte senders and
// two progress encoders that send one command byte.
#ifndef LINALG_CONSOLE_RS232_H
#define LINALG_CONSOLE_RS232_H

namespace linalg {

// Opens serial port number `port` (1-20, COM1-COM20) at baudRate, writes
// `dat` with one one-byte write and closes the port. 0 on success, -1 when
// the device is missing, refused or fails, -2 for another port number or a
// baud rate the port cannot take (no device is touched for those).
int SendByteCOM(unsigned char dat, unsigned char port, unsigned int baudRate);

// The same, writing `dat` and then 13 (carriage return) as two one-byte
// writes within one open.
int SendCharCOM(unsigned char dat, unsigned char port, unsigned int baudRate);

// Progress bar: p = step / nsteps (in double). Sends one byte at 9600 baud
// whose bits 2-7 fill one per sixth of the range (thresholds 0.167, 0.333,
// 0.5, 0.667, 0.834, 1.0); the newest bit is lit when `blink` is 0 and dark
// otherwise. Returns the new blink state (1 after a lit head, 0 after a
// dark one); p >= 1 sends 0x78, p < 0 sends 0x00, and NaN sends nothing —
// those three return `blink` unchanged. The send result is ignored.
int Wall_E_v1(int step, int nsteps, int blink, unsigned char port);

// Percentage: sends trunc(p * 100) modulo 256 at 9600 baud (1 in place of
// 0; a negative percentage wraps like a byte, -50 -> 206; NaN and the
// infinities send 1). `blink` is unused. Returns 0.
int Wall_E_v2(int step, int nsteps, int blink, unsigned char port);

} // namespace linalg

#endif
