// Serial ports over termios: exclusive open, line state, read time-outs through poll.
#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

struct CommPortRec {
  int fd = -1;
  bool exclusive = false;  // this opener set TIOCEXCL and holds the lock
  COMMTIMEOUTS timeouts;
};

namespace {

struct SpeedCode {
  uint32_t baud;
  speed_t code;
};

constexpr SpeedCode kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedFromBaud(uint32_t baud, speed_t &code) {
  for (const SpeedCode &s : kSpeeds)
    if (s.baud == baud) {
      code = s.code;
      return true;
    }
  return false;
}

uint32_t BaudFromSpeed(speed_t code) {
  for (const SpeedCode &s : kSpeeds)
    if (s.code == code) return s.baud;
  return 0;
}

// True when the open descriptor is the tty the kernel writes its console to: moving that
// to another speed would garble the system's own messages.
bool IsKernelConsole(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  FILE *f = std::fopen("/sys/class/tty/console/active", "re");
  if (!f) return false;
  char name[64];
  bool found = false;
  while (!found && std::fscanf(f, "%63s", name) == 1) {
    std::string devFile = std::string("/sys/class/tty/") + name + "/dev";
    FILE *d = std::fopen(devFile.c_str(), "re");
    if (!d) continue;
    unsigned maj = 0, min = 0;
    if (std::fscanf(d, "%u:%u", &maj, &min) == 2 && maj == major(st.st_rdev) && min == minor(st.st_rdev))
      found = true;
    std::fclose(d);
  }
  std::fclose(f);
  return found;
}

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SetModemLine(int fd, int bit, bool on) {
  // A pseudo-terminal has no modem lines; the call fails there and that is fine.
  ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);
}

}  // namespace

void CommPortCloser::operator()(CommPortRec *port) const {
  if (!port) return;
  if (port->fd >= 0) {
    // The exclusive flag belongs to the tty, not to this descriptor: clear it so the next
    // opener is not refused after this one has gone.
    if (port->exclusive) ioctl(port->fd, TIOCNXCL);
    close(port->fd);
  }
  delete port;
}

CommPort CommOpen(const char *path) {
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  CommPort port(new CommPortRec);
  port->fd = fd;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    errno = EBUSY;
    return nullptr;
  }
  if (IsKernelConsole(fd)) {
    errno = EBUSY;
    return nullptr;
  }
  port->exclusive = ioctl(fd, TIOCEXCL) == 0;
  return port;
}

bool GetCommState(CommPortRec *port, DCB &dcb) {
  termios t;
  if (!port || tcgetattr(port->fd, &t) != 0) return false;
  dcb = DCB{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = BaudFromSpeed(cfgetispeed(&t));
  dcb.fBinary = true;
  dcb.fParity = (t.c_iflag & INPCK) != 0;
  dcb.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
  dcb.fOutX = (t.c_iflag & IXON) != 0;
  dcb.fInX = (t.c_iflag & IXOFF) != 0;
  switch (t.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
  }
  if (!(t.c_cflag & PARENB))
    dcb.Parity = NOPARITY;
  else if (t.c_cflag & CMSPAR)
    dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  int lines = 0;
  if (ioctl(port->fd, TIOCMGET, &lines) == 0) {
    dcb.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }
  if (dcb.fOutxCtsFlow) dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  return true;
}

bool BuildCommDCBA(const char *definition, DCB &dcb) {
  if (!definition) return false;
  DCB d = dcb;
  const char *p = definition;
  auto field = [&](std::string &out) {
    while (*p == ' ') ++p;
    const char *start = p;
    while (*p && *p != ',') ++p;
    const char *end = p;
    while (end > start && end[-1] == ' ') --end;
    out.assign(start, end);
    if (*p == ',') {
      ++p;
      return true;
    }
    return false;
  };
  std::string f;
  bool more = field(f);
  char *end = nullptr;
  unsigned long baud = std::strtoul(f.c_str(), &end, 10);
  if (f.empty() || *end || baud == 0 || baud > 4000000) return false;
  d.BaudRate = static_cast<uint32_t>(baud);
  if (more) {
    more = field(f);
    if (f.size() != 1) return false;
    switch (f[0] | 0x20) {
      case 'n': d.Parity = NOPARITY; break;
      case 'o': d.Parity = ODDPARITY; break;
      case 'e': d.Parity = EVENPARITY; break;
      case 'm': d.Parity = MARKPARITY; break;
      case 's': d.Parity = SPACEPARITY; break;
      default: return false;
    }
    d.fParity = d.Parity != NOPARITY;
  }
  if (more) {
    more = field(f);
    if (f.size() != 1 || f[0] < '5' || f[0] > '8') return false;
    d.ByteSize = static_cast<uint8_t>(f[0] - '0');
  }
  if (more) {
    more = field(f);
    if (f == "1")
      d.StopBits = ONESTOPBIT;
    else if (f == "1.5")
      d.StopBits = ONE5STOPBITS;
    else if (f == "2")
      d.StopBits = TWOSTOPBITS;
    else
      return false;
  }
  if (more || *p) return false;
  d.fBinary = true;
  d.fOutxCtsFlow = false;
  d.fOutX = d.fInX = false;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  dcb = d;
  return true;
}

bool SetCommState(CommPortRec *port, const DCB &dcb) {
  termios t;
  if (!port || tcgetattr(port->fd, &t) != 0) return false;
  speed_t speed;
  if (!SpeedFromBaud(dcb.BaudRate, speed)) return false;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY || dcb.StopBits == ONE5STOPBITS ||
      dcb.StopBits > TWOSTOPBITS)
    return false;
  cfmakeraw(&t);
  // cfmakeraw leaves input flow control and parity checking as an earlier user of the
  // tty set them; only what the record asks for may stay on.
  t.c_iflag &= ~(IXOFF | IXANY | INPCK);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD;
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[dcb.ByteSize - 5];
  switch (dcb.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (dcb.fParity && dcb.Parity != NOPARITY) t.c_iflag |= INPCK;
  if (dcb.StopBits == TWOSTOPBITS) t.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  // Reads are paced by poll. VMIN 1 on the non-blocking descriptor makes an empty read
  // EAGAIN, so that a read of 0 bytes can only mean the device hung up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (tcsetattr(port->fd, TCSANOW, &t) != 0) return false;
  if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
    SetModemLine(port->fd, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE);
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
    SetModemLine(port->fd, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
  return true;
}

bool GetCommTimeouts(CommPortRec *port, COMMTIMEOUTS &timeouts) {
  if (!port) return false;
  timeouts = port->timeouts;
  return true;
}

bool SetCommTimeouts(CommPortRec *port, const COMMTIMEOUTS &timeouts) {
  if (!port) return false;
  port->timeouts = timeouts;
  return true;
}

long CommRead(CommPortRec *port, void *buffer, size_t count) {
  if (!port || port->fd < 0) return -1;
  if (count == 0) return 0;
  const COMMTIMEOUTS &to = port->timeouts;
  const bool immediate =
      to.ReadIntervalTimeout == 0xFFFFFFFFu && to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0;
  const bool interval = to.ReadIntervalTimeout != 0 && !immediate;
  const bool total = to.ReadTotalTimeoutMultiplier != 0 || to.ReadTotalTimeoutConstant != 0;
  const int64_t start = NowMs();
  const int64_t deadline = start + static_cast<int64_t>(to.ReadTotalTimeoutConstant) +
                           static_cast<int64_t>(to.ReadTotalTimeoutMultiplier) * static_cast<int64_t>(count);
  char *out = static_cast<char *>(buffer);
  size_t got = 0;
  while (got < count) {
    ssize_t n = read(port->fd, out + got, count - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      // End of file or EIO: the far end is gone.
      return got > 0 ? static_cast<long>(got) : -1;
    }
    if (errno == EINTR) continue;
    if (immediate) break;
    int64_t now = NowMs();
    int64_t wait = -1;  // no limit
    if (total) {
      wait = deadline - now;
      if (wait <= 0) break;
    }
    if (interval && got > 0) wait = wait < 0 ? to.ReadIntervalTimeout : std::min<int64_t>(wait, to.ReadIntervalTimeout);
    if (wait > 0x7FFFFFFF) wait = 0x7FFFFFFF;
    pollfd p{port->fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(wait));
    if (r < 0) {
      if (errno == EINTR) continue;
      return got > 0 ? static_cast<long>(got) : -1;
    }
    if (r == 0) break;  // a time-out ended the read
    if ((p.revents & (POLLERR | POLLNVAL)) || ((p.revents & POLLHUP) && !(p.revents & POLLIN)))
      return got > 0 ? static_cast<long>(got) : -1;
  }
  return static_cast<long>(got);
}

int CommFd(const CommPortRec *port) { return port ? port->fd : -1; }
