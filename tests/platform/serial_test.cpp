// The serial port layer on real pseudo-terminals: exclusive open, line settings as the
// tty sees them, and reads ended by the time-outs or by a hang-up.
#include "platform/serial.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <string>

#include "tests/support/serial_ports.h"
#include "tests/support/testing.h"

using testing_support::PtyPair;

namespace {

TEST(CommSettings, ModeTextsParseLikeTheModeCommand) {
  struct Case {
    const char *text;
    bool ok;
    uint32_t baud;
    uint8_t parity, size, stop;
  } cases[] = {
      {"4800,n,8,1", true, 4800, NOPARITY, 8, ONESTOPBIT},
      {"9600,E,7,2", true, 9600, EVENPARITY, 7, TWOSTOPBITS},
      {"1200,o,5,1.5", true, 1200, ODDPARITY, 5, ONE5STOPBITS},
      {" 19200 , m , 6 ", true, 19200, MARKPARITY, 6, ONESTOPBIT},  // stop bits left as they were
      {"115200", true, 115200, NOPARITY, 8, ONESTOPBIT},
      {"", false, 0, 0, 0, 0},
      {"4800,x,8,1", false, 0, 0, 0, 0},
      {"4800,n,9,1", false, 0, 0, 0, 0},
      {"4800,n,8,3", false, 0, 0, 0, 0},
      {"4800,n,8,1,p", false, 0, 0, 0, 0},
      {"fast,n,8,1", false, 0, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    DCB dcb;
    dcb.fOutX = true;
    bool ok = BuildCommDCBA(c.text, dcb);
    EXPECT_EQ(ok, c.ok);
    if (!ok) {
      EXPECT_TRUE(dcb.fOutX);  // a refused text changes nothing
      continue;
    }
    EXPECT_EQ(dcb.BaudRate, c.baud);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.ByteSize, c.size);
    EXPECT_EQ(dcb.StopBits, c.stop);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  }
}

TEST(CommSettings, AppliedStateIsRawAndReadsBack) {
  testing_support::TestEnv env;
  struct Case {
    uint32_t baud;
    uint8_t size, parity, stop;
    speed_t speed;
    tcflag_t csize;
    bool ok;
  } cases[] = {
      // A pseudo-terminal keeps 8 data bits without parity whatever it is asked for.
      {4800, 8, NOPARITY, ONESTOPBIT, B4800, CS8, true},
      {9600, 8, NOPARITY, TWOSTOPBITS, B9600, CS8, true},
      {38400, 8, NOPARITY, ONESTOPBIT, B38400, CS8, true},
      {4801, 8, NOPARITY, ONESTOPBIT, 0, 0, false},      // no such speed
      {4800, 8, NOPARITY, ONE5STOPBITS, 0, 0, false},    // a tty has no 1.5 stop bits
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.baud);
    PtyPair pty;
    termios before;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &before), 0);
    before.c_lflag |= ICANON | ECHO;
    // Flow control and parity checking left on the tty by an earlier user must not
    // survive: XOFF on input would make the reader write to the device.
    before.c_iflag |= ICRNL | IXOFF | IXANY | INPCK;
    before.c_oflag |= OPOST;
    ASSERT_EQ(tcsetattr(pty.slaveFd(), TCSANOW, &before), 0);

    CommPort port = CommOpen(pty.slavePath().c_str());
    ASSERT_TRUE(port);
    DCB dcb;
    ASSERT_TRUE(GetCommState(port.get(), dcb));
    dcb.BaudRate = c.baud;
    dcb.ByteSize = c.size;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stop;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fInX = false;  // read back from the tty as on; the record turns it off
    EXPECT_EQ(SetCommState(port.get(), dcb), c.ok);
    if (!c.ok) continue;

    termios t;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & CSIZE, c.csize);
    EXPECT_EQ(t.c_cflag & PARENB, 0u);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stop == TWOSTOPBITS);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | IXANY | ISTRIP | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    DCB back;
    ASSERT_TRUE(GetCommState(port.get(), back));
    EXPECT_EQ(back.BaudRate, c.baud);
    EXPECT_EQ(back.ByteSize, c.size);
    EXPECT_EQ(back.Parity, c.parity);
    EXPECT_EQ(back.StopBits, c.stop);
  }
}

TEST(CommOpen, HoldsThePortAlone) {
  testing_support::TestEnv env;
  PtyPair pty;
  CommPort first = CommOpen(pty.slavePath().c_str());
  ASSERT_TRUE(first);
  int excl = 0;
  ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &excl), 0);
  EXPECT_NE(excl, 0);

  errno = 0;
  EXPECT_FALSE(CommOpen(pty.slavePath().c_str()));
  EXPECT_EQ(errno, EBUSY);
  // The refused opener must not have cleared the holder's exclusive flag.
  ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &excl), 0);
  EXPECT_NE(excl, 0);

  first.reset();
  ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &excl), 0);
  EXPECT_EQ(excl, 0);
  EXPECT_TRUE(CommOpen(pty.slavePath().c_str()));
}

TEST(CommOpen, RefusesWhatIsNoPort) {
  testing_support::TestEnv env;
  EXPECT_FALSE(CommOpen("/dev/marolin-no-such-port"));
  testing_support::WriteFile(env.workDir() + "/plain", "x");
  CommPort file = CommOpen((env.workDir() + "/plain").c_str());
  ASSERT_TRUE(file);  // it opens, but it is no tty
  DCB dcb;
  EXPECT_FALSE(GetCommState(file.get(), dcb));
  EXPECT_FALSE(SetCommState(file.get(), dcb));
}

// Configures the port as a serial reader does, with short totals so the cases end soon.
CommPort OpenRaw(const PtyPair &pty, const COMMTIMEOUTS &to) {
  CommPort port = CommOpen(pty.slavePath().c_str());
  if (!port) return port;
  DCB dcb;
  BuildCommDCBA("4800,n,8,1", dcb);
  if (!SetCommState(port.get(), dcb) || !SetCommTimeouts(port.get(), to)) return nullptr;
  return port;
}

TEST(CommRead, EndsByTimeOutsCountOrHangUp) {
  testing_support::TestEnv env;
  const COMMTIMEOUTS gap{50, 0, 0, 0, 0};            // only the gap between bytes
  const COMMTIMEOUTS total{0, 0, 200, 0, 0};         // only a total
  const COMMTIMEOUTS reader{50, 10, 200, 1000, 100};  // both
  const COMMTIMEOUTS immediate{0xFFFFFFFFu, 0, 0, 0, 0};
  struct Case {
    const char *name;
    COMMTIMEOUTS to;
    std::string sent;
    size_t ask;
    bool hangUp;
    long result;
    std::string got;
  } cases[] = {
      {"gap ends a burst", gap, "$GPRMC,1*00\r\n", 1024, false, 13, "$GPRMC,1*00\r\n"},
      {"count ends a read", reader, "abcdef", 4, false, 4, "abcd"},
      {"total ends a silent read", total, "", 100, false, 0, ""},
      {"total ends a short burst", reader, "xyz", 100, false, 3, "xyz"},
      {"nothing asked", reader, "abc", 0, false, 0, ""},
      {"immediate mode", immediate, "", 10, false, 0, ""},
      {"hang-up", reader, "", 100, true, -1, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PtyPair pty;
    CommPort port = OpenRaw(pty, c.to);
    ASSERT_TRUE(port);
    COMMTIMEOUTS back;
    ASSERT_TRUE(GetCommTimeouts(port.get(), back));
    EXPECT_EQ(back.ReadTotalTimeoutConstant, c.to.ReadTotalTimeoutConstant);
    if (!c.sent.empty()) {
      ASSERT_TRUE(pty.write(c.sent));
    }
    if (c.hangUp) pty.closeMaster();
    char buf[1024];
    long n = CommRead(port.get(), buf, c.ask);
    EXPECT_EQ(n, c.result);
    if (n > 0) {
      EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), c.got);
    }
  }
}

TEST(CommRead, HangUpStaysReported) {
  testing_support::TestEnv env;
  PtyPair pty;
  CommPort port = OpenRaw(pty, COMMTIMEOUTS{50, 1000, 30000, 0, 0});
  ASSERT_TRUE(port);
  pty.closeMaster();
  char buf[16];
  // A reader that went on reading after a hang-up would spin; every read reports it.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(CommRead(port.get(), buf, sizeof buf), -1);
}

}  // namespace
