// HTTP/1.1 client for the remote chart server: name resolution with retries, a bounded
// connect, the answer's header and the body as it comes, every wait given up on a cancel.
#include "server/handlers/remote_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/host_config.h"

const char *const DefaultChartServer = "charts.veskara.example";

std::atomic<int> ResolveRetryWaitMs{2000};
std::atomic<int> IdleLimitMs{RemoteReceiveSeconds * 1000 + 100};

namespace {

const char kChartServerVar[] = "MAROLIN_CHART_SERVER";
const char kRemoteRequestFormat[] = "GET %s HTTP/1.1\r\nHost: %s\r\n\r\n";
const char kContentLength[] = "Content-Length:";
const char kChunked[] = "Transfer-Encoding: chunk";  // 24 characters, compared as a prefix
const char kDefaultPort[] = "80";

// Every wait is cut into slices of this length; between them the cancel is looked at.
constexpr int kSliceMs = 100;

int SliceUntil(RemoteClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - RemoteClock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, kSliceMs));
}

// Waits for sock to become ready for events within deadline: 1 ready, 0 cancelled or
// past the deadline, -1 failed.
int WaitReady(int sock, short events, RemoteClock::time_point deadline) {
  for (;;) {
    if (DownloadCancelRequested() || RemoteClock::now() >= deadline) return 0;
    pollfd p{sock, events, 0};
    int r = poll(&p, 1, SliceUntil(deadline));
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) return -1;
  }
}

// connect, bounded like a wait for bytes and given up on a cancel.
bool ConnectBounded(int s, const sockaddr *addr, socklen_t len) {
  int flags = fcntl(s, F_GETFL);
  fcntl(s, F_SETFL, flags | O_NONBLOCK);
  bool ok = ::connect(s, addr, len) == 0;
  if (!ok && errno == EINPROGRESS && WaitReady(s, POLLOUT, IdleDeadline()) == 1) {
    int err = 0;
    socklen_t el = sizeof err;
    ok = getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &el) == 0 && err == 0;
  }
  fcntl(s, F_SETFL, flags);
  return ok;
}

// One receive into the free room of conn's buffer, after at most one wait until the
// deadline: 1 bytes came, 0 none yet (or cancelled, or past the deadline), -1 closed,
// failed or the buffer is full.
int FillOnce(SockBuf &conn, RemoteClock::time_point deadline) {
  int held = static_cast<int>(conn.dataEnd - conn.lineStart);
  if (conn.lineStart != conn.buf) {
    std::memmove(conn.buf, conn.lineStart, static_cast<size_t>(held));
    conn.lineStart = conn.scan = conn.buf;
    conn.dataEnd = conn.buf + held;
  }
  int room = conn.capacity - 1 - held;
  if (room <= 0) return -1;
  int w = WaitReady(conn.sock, POLLIN, deadline);
  if (w <= 0) return w;
  ssize_t r = ::recv(conn.sock, conn.dataEnd, static_cast<size_t>(room), MSG_DONTWAIT);
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (r <= 0) return -1;
  conn.dataEnd += r;
  return 1;
}

// The next header line once a whole line is held, or the rest at the end of the stream
// (as SockBufReadLine); null on a cancel, on a receive error, or when nothing comes for
// IdleLimitMs.
const char *ReadHeaderLine(SockBuf &conn) {
  RemoteClock::time_point deadline = IdleDeadline();
  while (!std::memchr(conn.lineStart, '\n', static_cast<size_t>(conn.dataEnd - conn.lineStart))) {
    if (DownloadCancelRequested() || RemoteClock::now() >= deadline) return nullptr;
    int f = FillOnce(conn, deadline);
    if (f < 0) break;  // closed: what is held is the last line; SockBufReadLine says so
    if (f > 0) deadline = IdleDeadline();
  }
  return SockBufReadLine(conn);
}

// "Content-Length:%d" on one header line: the header name exactly, blanks, a signed
// number. Values beyond the int range are clamped.
bool ScanContentLength(const char *line, long long &value) {
  if (std::strncmp(line, kContentLength, sizeof kContentLength - 1) != 0) return false;
  const char *p = line + sizeof kContentLength - 1;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const char *digits = (*p == '+' || *p == '-') ? p + 1 : p;
  if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
  errno = 0;
  long long v = std::strtoll(p, nullptr, 10);
  value = std::clamp<long long>(v, INT_MIN, INT_MAX);
  return true;
}

// True for a status line "HTTP/x.y 2nn ...".
bool StatusOk(const char *line) {
  if (std::strncmp(line, "HTTP/", 5) != 0) return false;
  const char *sp = std::strchr(line, ' ');
  if (!sp) return false;
  while (*sp == ' ') ++sp;
  return sp[0] == '2' && std::isdigit(static_cast<unsigned char>(sp[1])) &&
         std::isdigit(static_cast<unsigned char>(sp[2])) && (sp[3] == 0 || sp[3] == ' ');
}

}  // namespace

bool DownloadCancelRequested() { return HostConfig.DownloadState.state == DownloadCancelling; }

RemoteClock::time_point IdleDeadline() { return RemoteClock::now() + std::chrono::milliseconds(IdleLimitMs.load()); }

void PauseUnlessCancelled(int ms) {
  auto until = RemoteClock::now() + std::chrono::milliseconds(ms);
  while (!DownloadCancelRequested() && RemoteClock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(SliceUntil(until)));
}

std::string FormatString(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n <= 0) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  va_start(ap, fmt);
  std::vsnprintf(s.data(), s.size() + 1, fmt, ap);
  va_end(ap);
  return s;
}

int ReadBody(SockBuf &conn, char *to, int want) {
  int held = static_cast<int>(std::min<long>(conn.dataEnd - conn.lineStart, want));
  if (held > 0) {
    std::memcpy(to, conn.lineStart, static_cast<size_t>(held));
    conn.lineStart += held;
    conn.scan = conn.lineStart;
    return held;
  }
  RemoteClock::time_point deadline = IdleDeadline();
  for (;;) {
    int w = WaitReady(conn.sock, POLLIN, deadline);
    if (DownloadCancelRequested()) return 0;
    if (w < 0 || (w == 0 && RemoteClock::now() >= deadline)) return -1;
    if (w == 0) continue;
    ssize_t r = ::recv(conn.sock, to, static_cast<size_t>(want), MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (r <= 0) return -1;
    return static_cast<int>(r);
  }
}

void CloseRemote(SockBuf &conn) {
  if (conn.sock >= 0) ::close(conn.sock);
  conn.sock = -1;
}

ChartServer ChartServerConfig() {
  ChartServer s;
  const char *env = std::getenv(kChartServerVar);
  s.text = (env && *env) ? env : DefaultChartServer;
  s.host = s.text;
  s.port = kDefaultPort;
  if (s.text[0] == '[') {
    size_t close = s.text.find(']');
    if (close != std::string::npos) {
      s.host = s.text.substr(1, close - 1);
      if (close + 1 < s.text.size() && s.text[close + 1] == ':') s.port = s.text.substr(close + 2);
    }
  } else {
    size_t colon = s.text.find(':');
    if (colon != std::string::npos && s.text.find(':', colon + 1) == std::string::npos) {
      s.host = s.text.substr(0, colon);
      s.port = s.text.substr(colon + 1);
    }
  }
  if (s.port.empty()) s.port = kDefaultPort;
  return s;
}

namespace {

// Resolves the server, tried ResolveTries times with a pause between; null when it never
// resolves or the download is cancelled. The caller frees the list.
addrinfo *Resolve(const ChartServer &server) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  for (int tries = 0;;) {
    addrinfo *list = nullptr;
    if (getaddrinfo(server.host.c_str(), server.port.c_str(), &hints, &list) == 0) return list;
    PauseUnlessCancelled(ResolveRetryWaitMs);
    if (++tries == ResolveTries || DownloadCancelRequested()) return nullptr;
  }
}

// A connected socket to the first address that takes the connection; -1 for none.
int ConnectFirst(const addrinfo *list) {
  for (const addrinfo *a = list; a; a = a->ai_next) {
    int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (s < 0) continue;
    SockSetOptions(RemoteReceiveSeconds, s);
    if (ConnectBounded(s, a->ai_addr, a->ai_addrlen)) return s;
    ::close(s);
  }
  return -1;
}

// Reads the answer's header: the Content-Length or one of RemoteGetResult.
int ReadAnswerHeader(SockBuf &conn) {
  bool seen = false;
  long long length = 0;
  for (bool first = true;; first = false) {
    const char *line = ReadHeaderLine(conn);
    if (!line || conn.lineLen <= 2) break;
    // Only a 2xx answer carries package bytes; an error page must not reach the file.
    if (first && !StatusOk(line)) return RemoteNotOk;
    if (std::strncmp(line, kChunked, sizeof kChunked - 1) == 0) return RemoteChunked;
    long long v;
    if (ScanContentLength(line, v)) {
      seen = true;
      length = v;
    }
  }
  if (!seen || length < 0) return RemoteNoLength;
  return static_cast<int>(length);
}

}  // namespace

int RemoteGet(SockBuf &conn, const char *path) {
  ChartServer server = ChartServerConfig();
  addrinfo *list = Resolve(server);
  if (!list) return RemoteNotResolved;
  int sock = ConnectFirst(list);
  freeaddrinfo(list);
  if (sock < 0) return RemoteNoConnection;

  SockSetOptions(RemoteReceiveSeconds, sock);
  SockBufReset(conn);
  conn.sock = sock;
  std::string request = FormatString(kRemoteRequestFormat, path, server.text.c_str());
  ::send(sock, request.data(), request.size(), MSG_NOSIGNAL);
  return ReadAnswerHeader(conn);
}
