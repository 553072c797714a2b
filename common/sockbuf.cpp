// SockBuf reading and the body appends.
#include "common/sockbuf.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/json_escape.h"

static constexpr int kInitialCapacity = 65536;

// Answers and bodies the clients have not taken yet: bounded together, so that a client
// that asks much and reads nothing cannot take the process's memory.
const long SockBufBudget = 256L * 1024 * 1024;
static std::atomic<long> budgetUsed{0};

// Moves the buffer's charge to what a block of cap bytes holds beyond the start size;
// false, with nothing changed, when the budget has no room for it.
static bool Recharge(SockBuf &sb, size_t cap) {
  if (!sb.budgeted) return true;
  const long want = cap > kInitialCapacity ? static_cast<long>(cap - kInitialCapacity) : 0;
  const long grow = want - sb.charge;
  if (grow > 0 && budgetUsed.fetch_add(grow, std::memory_order_relaxed) + grow > SockBufBudget) {
    budgetUsed.fetch_sub(grow, std::memory_order_relaxed);
    return false;
  }
  if (grow < 0) budgetUsed.fetch_sub(-grow, std::memory_order_relaxed);
  sb.charge = want;
  return true;
}

SockBuf::~SockBuf() {
  Recharge(*this, 0);
  std::free(buf);
}

void SockSetOptions(int seconds, int sock) {
  long ms = static_cast<long>(seconds) * 1000 + 100;
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  // A peer that stops reading must not hold a sender for ever either.
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

char *SockBufInit(SockBuf &sb) {
  Recharge(sb, 0);
  std::free(sb.buf);
  sb.sock = -1;
  sb.lineLen = 0;
  sb.outLen = 0;
  sb.status[0] = 0;
  sb.mime = 0;
  sb.keepAlive = 0;
  sb.lineCut = false;
  sb.overBudget = false;
  sb.capacity = 0;
  sb.buf = static_cast<char *>(std::malloc(kInitialCapacity));
  sb.lineStart = sb.dataEnd = sb.scan = sb.buf;
  if (sb.buf) sb.capacity = kInitialCapacity;
  return sb.buf;
}

void SockBufReset(SockBuf &sb) {
  sb.lineStart = sb.dataEnd = sb.scan = sb.buf;
  sb.outLen = 0;
  sb.status[0] = 0;
  sb.mime = 0;
  sb.lineLen = 0;
  sb.overBudget = false;
}

// recv that retries when a signal interrupts it.
static long RecvSome(int sock, char *to, size_t n) {
  for (;;) {
    long r = recv(sock, to, n, 0);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

// Moves the unconsumed bytes to the buffer start; returns how many there are.
static int Compact(SockBuf &sb) {
  int held = static_cast<int>(sb.dataEnd - sb.lineStart);
  if (sb.lineStart != sb.buf && held > 0) std::memmove(sb.buf, sb.lineStart, held);
  sb.lineStart = sb.scan = sb.buf;
  sb.dataEnd = sb.buf + held;
  return held;
}

// Moves the buffer to a block of newCap bytes, keeping its contents and read positions;
// false when the allocation fails (the old block stays in use).
static bool Resize(SockBuf &sb, size_t newCap) {
  const ptrdiff_t line = sb.lineStart - sb.buf, end = sb.dataEnd - sb.buf, scan = sb.scan - sb.buf;
  if (!Recharge(sb, newCap)) return false;
  char *nb = static_cast<char *>(std::realloc(sb.buf, newCap));
  if (!nb) {
    Recharge(sb, static_cast<size_t>(sb.capacity));
    return false;
  }
  sb.buf = nb;
  sb.lineStart = nb + line;
  sb.dataEnd = nb + end;
  sb.scan = nb + scan;
  sb.capacity = static_cast<int>(newCap);
  return true;
}

bool SockBufShrink(SockBuf &sb) {
  int held = static_cast<int>(sb.dataEnd - sb.lineStart);
  if (!sb.buf || sb.capacity <= kInitialCapacity || held >= kInitialCapacity) return false;
  Compact(sb);
  if (!Resize(sb, kInitialCapacity)) return false;  // the larger block stays in use
  sb.outLen = 0;
  return true;
}

// Hands out what is held as the last piece of the stream (or of an over-long line).
static char *HandOutRest(SockBuf &sb, int held) {
  sb.lineLen = held;
  sb.buf[held] = 0;
  sb.dataEnd = sb.lineStart = sb.scan = sb.buf;
  return sb.buf;
}

char *SockBufReadLine(SockBuf &sb) {
  sb.lineCut = false;
  if (!sb.buf) return nullptr;
  for (;;) {
    sb.lineLen = 0;
    for (char *p = sb.lineStart; p < sb.dataEnd; ++p) {
      ++sb.lineLen;
      if (*p == '\n') {
        *p = 0;
        char *line = sb.lineStart;
        sb.lineStart = sb.scan = p + 1;
        return line;
      }
      if (*p == '\r') *p = 0;
    }
    int held = Compact(sb);
    if (held >= sb.capacity - 1) {
      sb.lineCut = true;
      return HandOutRest(sb, held);
    }
    long r = RecvSome(sb.sock, sb.dataEnd, static_cast<size_t>(sb.capacity - 1 - held));
    if (r < 0) return nullptr;
    if (r == 0) return HandOutRest(sb, held);
    sb.dataEnd += r;
  }
}

char *SockBufReadBytes(SockBuf &sb, int count) {
  if (!sb.buf || count <= 0) return nullptr;
  if (count >= sb.capacity) {
    if (count > INT_MAX - 8) return nullptr;
    // A failed allocation: the caller ends the connection as for a failed receive.
    if (!Resize(sb, static_cast<size_t>(count) + 8)) return nullptr;
  }
  for (;;) {
    sb.lineLen = 0;
    int held = static_cast<int>(sb.dataEnd - sb.lineStart);
    if (held >= count) {
      char *block = sb.lineStart;
      sb.lineStart = sb.scan = sb.lineStart + count;
      sb.lineLen = count;
      return block;
    }
    held = Compact(sb);
    long r = RecvSome(sb.sock, sb.dataEnd, static_cast<size_t>(count - held));
    if (r < 0) return nullptr;
    if (r == 0) return HandOutRest(sb, held);
    sb.dataEnd += r;
  }
}

// Makes room for count more body bytes; false when the budget has none (overBudget is set
// and the bytes are dropped). A failed allocation ends the process.
static bool Reserve(SockBuf &sb, size_t count) {
  if (sb.overBudget) return false;
  if (!sb.buf) {
    sb.buf = static_cast<char *>(std::malloc(kInitialCapacity));
    if (!sb.buf) std::exit(1);
    sb.capacity = kInitialCapacity;
    sb.outLen = 0;
    sb.lineStart = sb.dataEnd = sb.scan = sb.buf;
  }
  size_t need = static_cast<size_t>(sb.outLen) + count;
  if (need > static_cast<size_t>(INT_MAX)) std::exit(1);
  if (need > static_cast<size_t>(sb.capacity)) {
    // Grown by at least half again, so that a body appended in small pieces is not
    // copied over and over.
    size_t grown = static_cast<size_t>(sb.capacity) + static_cast<size_t>(sb.capacity) / 2;
    if (grown > need && grown <= static_cast<size_t>(INT_MAX)) need = grown;
    if (!Recharge(sb, need)) {
      need = static_cast<size_t>(sb.outLen) + count;  // no room to spare: just what it takes
      if (!Recharge(sb, need)) {
        sb.overBudget = true;
        return false;
      }
    }
    if (!Resize(sb, need)) std::exit(1);
  }
  return true;
}

bool SockBufBorrow(SockBuf &sb, size_t count) {
  if (sb.overBudget) return false;
  // Reserve's last resort, just what it takes, is the test for the same bytes appended.
  if (count > static_cast<size_t>(sb.capacity) && !Recharge(sb, count)) {
    sb.overBudget = true;
    return false;
  }
  return true;
}

void SockBufReturn(SockBuf &sb) { Recharge(sb, static_cast<size_t>(sb.capacity)); }

int OutAppend(SockBuf &sb, const void *data, size_t count) {
  if (!Reserve(sb, count)) return sb.outLen;
  if (count) std::memcpy(sb.buf + sb.outLen, data, count);
  sb.outLen += static_cast<int>(count);
  return sb.outLen;
}

int OutAppendStr(SockBuf &sb, const char *text) {
  if (!text) return 0;
  return OutAppend(sb, text, std::strlen(text));
}

int OutAppendJson(SockBuf &sb, const void *data, size_t count) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  // Escaped bytes are gathered in a small block and appended a block at a time.
  char tmp[512];
  size_t n = 0;
  auto flush = [&] {
    OutAppend(sb, tmp, n);
    n = 0;
  };
  for (size_t i = 0; i < count; ++i) {
    unsigned char c = p[i];
    char esc = JsonEscapeLetter(c);
    if (n + 2 > sizeof tmp) flush();
    if (esc) {
      tmp[n++] = '\\';
      tmp[n++] = esc;
    } else {
      tmp[n++] = static_cast<char>(c);
    }
  }
  flush();
  return sb.outLen;
}

int OutAppendF(SockBuf &sb, const char *fmt, ...) {
  char small[256];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) return sb.outLen;
  if (static_cast<size_t>(n) < sizeof small) return OutAppend(sb, small, static_cast<size_t>(n));
  if (!Reserve(sb, static_cast<size_t>(n) + 1)) return sb.outLen;
  va_start(ap, fmt);
  std::vsnprintf(sb.buf + sb.outLen, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  sb.outLen += n;
  return sb.outLen;
}
