// The HTTP response writer: header and body in one send, the MIME table, percent-decoding.
#include "server/response.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "common/hex.h"

const char *const MimeTable[kMimeCount] = {
    "application/binary;",
    "text/html; charset=UTF-8",
    "text/css; charset=UTF-8",
    "text/javascript; charset=UTF-8",
    "text/plain; charset=UTF-8",
    "application/json; charset=UTF-8",
    "image/png",
    "image/jpeg",
    "image/gif",
    "text/html",
    "image/bmp",
    "application/state; charset=UTF-8",
    "application/user; charset=UTF-8",
};

// The response header in a fixed buffer, built from pieces without printf: it is on
// the path of every tile. Text past the buffer is cut, its last byte stays unused.
namespace {
struct Head {
  char text[2560];
  size_t n = 0;
  void add(const char *s, size_t len) {
    size_t room = sizeof text - 1 - n;
    if (len > room) len = room;
    std::memcpy(text + n, s, len);
    n += len;
  }
  void add(const char *s) { add(s, std::strlen(s)); }
  void add(int v) {
    char digits[12];
    char *p = digits + sizeof digits;
    unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    do *--p = static_cast<char>('0' + u % 10); while (u /= 10);
    if (v < 0) *--p = '-';
    add(p, static_cast<size_t>(digits + sizeof digits - p));
  }
};
}  // namespace

const char *const ResultTooLarge = "500 result too large";

namespace {

long Send(SockBuf &sb, int maxAge, const char *status, int mime, const char *body, size_t len) {
  const char *st = status ? status : (sb.status[0] ? sb.status : "200 OK");
  // An answer the buffer budget had no room for goes without its body.
  if (sb.overBudget) {
    st = ResultTooLarge;
    sb.outLen = 0;
    len = 0;
  }
  if (mime < 0 || mime >= kMimeCount) mime = kMimeBinary;
  Head h;
  h.add("HTTP/1.1 ");
  h.add(st);
  h.add("\r\n");
  if (sb.keepAlive != 0) {
    h.add("Connection: keep-alive\r\nKeep-Alive: max=");
    h.add(sb.keepAlive);
    h.add("\r\n");
  } else {
    h.add("Connection: close\r\n");
  }
  if (maxAge != 0) {
    h.add("Cache-Control: max-age=");
    h.add(maxAge);
    h.add("\r\n");
  } else {
    h.add("Cache-Control: no-cache\r\n");
  }
  h.add("Server: Veskara\r\nContent-Type: ");
  h.add(MimeTable[mime]);
  h.add("\r\nContent-Length: ");
  h.add(static_cast<int>(len));
  h.add("\r\n\r\n");
  char *head = h.text;
  int n = static_cast<int>(h.n);
  // Header and body leave in one call, so that they share a segment and a keep-alive
  // response costs one system call; a short send goes on from where it stopped.
  iovec iov[2] = {{head, static_cast<size_t>(n)}, {const_cast<char *>(body), len}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = len > 0 ? 2 : 1;
  size_t left = static_cast<size_t>(n) + len;
  while (left > 0) {
    long r = sendmsg(sb.sock, &msg, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    left -= static_cast<size_t>(r);
    for (size_t done = static_cast<size_t>(r); done > 0 && msg.msg_iovlen > 0;) {
      size_t take = done < msg.msg_iov->iov_len ? done : msg.msg_iov->iov_len;
      msg.msg_iov->iov_base = static_cast<char *>(msg.msg_iov->iov_base) + take;
      msg.msg_iov->iov_len -= take;
      done -= take;
      if (msg.msg_iov->iov_len == 0) {
        ++msg.msg_iov;
        --msg.msg_iovlen;
      }
    }
  }
  if (left > 0) {
    sb.keepAlive = 0;
    return -1;
  }
  return static_cast<long>(len);
}

}  // namespace

long SendResponse(SockBuf &sb, int maxAge, const char *status, int mime) {
  return Send(sb, maxAge, status, mime, sb.buf, static_cast<size_t>(sb.outLen > 0 ? sb.outLen : 0));
}

long SendResponseFrom(SockBuf &sb, int maxAge, const char *status, int mime, const void *body, size_t len) {
  SockBufBorrow(sb, len);
  long r = Send(sb, maxAge, status, mime, static_cast<const char *>(body), len);
  SockBufReturn(sb);
  return r;
}

int UrlDecode(char *text) {
  char *out = text;
  const char *in = text;
  while (*in) {
    if (*in == '%') {
      uint8_t hi = HexDigitValue(in[1]);
      uint8_t lo = hi != kNotHexDigit ? HexDigitValue(in[2]) : kNotHexDigit;
      if (hi != kNotHexDigit && lo != kNotHexDigit) {
        *out++ = static_cast<char>(hi * 16 + lo);
        in += 3;
        continue;
      }
      // Not an escape (short or not hexadecimal): the '%' stays as it is.
    }
    *out++ = *in++;
  }
  *out = 0;
  return static_cast<int>(out - text);
}
