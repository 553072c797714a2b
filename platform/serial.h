// Serial ports over termios, with the semantics of the Windows comm calls the navigation
// input is written against: an exclusive open, a line-state record (DCB), the read
// time-outs (COMMTIMEOUTS) and a read that honours them.
//
// A port is a tty device path ("/dev/ttyUSB0"). The open is exclusive twice over: a
// non-blocking flock (which also holds against root) and TIOCEXCL (which keeps other
// non-root openers out); the kernel console's tty is never opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Parity and stop-bit codes, numbered as in the Windows line-state record.
constexpr uint8_t NOPARITY = 0;
constexpr uint8_t ODDPARITY = 1;
constexpr uint8_t EVENPARITY = 2;
constexpr uint8_t MARKPARITY = 3;
constexpr uint8_t SPACEPARITY = 4;
constexpr uint8_t ONESTOPBIT = 0;
constexpr uint8_t ONE5STOPBITS = 1;
constexpr uint8_t TWOSTOPBITS = 2;
// Modem-line control: 0 off, 1 raised while the port is open, 2 hardware handshake.
constexpr uint8_t DTR_CONTROL_DISABLE = 0;
constexpr uint8_t DTR_CONTROL_ENABLE = 1;
constexpr uint8_t DTR_CONTROL_HANDSHAKE = 2;
constexpr uint8_t RTS_CONTROL_DISABLE = 0;
constexpr uint8_t RTS_CONTROL_ENABLE = 1;
constexpr uint8_t RTS_CONTROL_HANDSHAKE = 2;

// Line state: the part of the Windows record a tty can express.
struct DCB {
  uint32_t DCBlength = 0;
  uint32_t BaudRate = 0;
  bool fBinary = false;
  bool fParity = false;       // parity checked on input
  bool fOutxCtsFlow = false;  // CTS/RTS handshake (CRTSCTS)
  uint8_t fDtrControl = DTR_CONTROL_DISABLE;
  uint8_t fRtsControl = RTS_CONTROL_DISABLE;
  bool fOutX = false;  // XON/XOFF on output (IXON)
  bool fInX = false;   // XON/XOFF on input (IXOFF)
  uint8_t ByteSize = 8;
  uint8_t Parity = NOPARITY;
  uint8_t StopBits = ONESTOPBIT;
};

// Read and write time-outs in milliseconds, as Windows defines them: a read ends when
// more than ReadIntervalTimeout passes between two bytes (0: no interval limit), or when
// ReadTotalTimeoutConstant + ReadTotalTimeoutMultiplier * bytes asked for has passed
// (both 0: no total limit). Interval 0xFFFFFFFF with both totals 0 returns at once with
// what is there. Writes are not done through this layer; their fields are only kept.
struct COMMTIMEOUTS {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

struct CommPortRec;
struct CommPortCloser {
  void operator()(CommPortRec *port) const;
};
// An open port; releasing it closes the device (the exclusive hold ends with it).
using CommPort = std::unique_ptr<CommPortRec, CommPortCloser>;

// Opens the tty at path for reading and writing, exclusively, without making it the
// controlling terminal. Null when it does not open, is held by another opener, or is the
// kernel console. errno tells why.
CommPort CommOpen(const char *path);

// The current line state; false when the device is not a tty.
bool GetCommState(CommPortRec *port, DCB &dcb);

// Fills dcb from a mode text "baud,parity,data,stop" (parity n/e/o/m/s, data 5-8, stop 1,
// 1.5 or 2; trailing fields may be left out). Fields not named are left as they were;
// DTR and RTS are raised and both XON/XOFF and CTS flow control are off. False when the
// text does not parse.
bool BuildCommDCBA(const char *definition, DCB &dcb);

// Applies dcb: raw mode, receiver on, modem-status lines ignored (CLOCAL), the given
// speed, size, parity and stop bits, then DTR and RTS as asked. A device without modem
// lines (a pseudo-terminal) is fine. False when the tty refuses the settings or the
// speed has no termios equivalent.
bool SetCommState(CommPortRec *port, const DCB &dcb);

// The time-outs in force (all 0 after the open) and their replacement.
bool GetCommTimeouts(CommPortRec *port, COMMTIMEOUTS &timeouts);
bool SetCommTimeouts(CommPortRec *port, const COMMTIMEOUTS &timeouts);

// Reads up to count bytes under the time-outs. Returns the bytes read (0 when nothing
// came in time, or count is 0), or -1 when the port failed or hung up (device removed,
// far end of a pseudo-terminal closed) before any byte of this call arrived; a failure
// after some bytes returns those, and the next call reports it.
long CommRead(CommPortRec *port, void *buffer, size_t count);

// The descriptor, for tests and diagnostics.
int CommFd(const CommPortRec *port);
