// Package download: the "/download/" route (start, poll, cancel), the download thread
// that fetches a package into its temporary file, resuming over what the file holds, and
// installs it after the size and CRC-32 check, and RemoteGet, its HTTP/1.1 client.
#include "server/handlers/download.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "common/crc32.h"
#include "common/host_config.h"
#include "server/databases.h"
#include "server/handlers/handlers.h"

const char *const DefaultChartServer = "charts.veskara.example";

std::atomic<int> ResolveRetryWaitMs{2000};
std::atomic<int> BlockRetryWaitMs{2000};
std::atomic<int> PieceLimitMs{30000};

namespace {

const char kChartServerVar[] = "MAROLIN_CHART_SERVER";
const char kProgressFormat[] = "{\"id\":%d,\"b\":%d,\"s\":%d,\"e\":%d}";
const char kRequestFormat[] = "%d %d %d %8x";
const char kTempFormat[] = "%sN%06d.temp";
const char kTargetFormat[] = "%sA%06d.veskara";
const char kRemotePathFormat[] = "/ajax3.php?download=%d&v=%d&p=%d&u=%d";
const char kRemoteRequestFormat[] = "GET %s HTTP/1.1\r\nHost: %s\r\n\r\n";
const char kContentLength[] = "Content-Length:";
const char kChunked[] = "Transfer-Encoding: chunk";  // 24 characters, compared as a prefix
const char kDefaultPort[] = "80";
constexpr int kResumeBlock = 8192;

// Download states and error codes as the page sees them.
enum { Idle = 0, Requested = 1, Running = 2, CancelRequested = 3 };
enum {
  ErrNone = 0,
  ErrLocal = -1,      // no buffer, or the temporary file cannot be opened or read
  ErrRequest = -2,    // a request to the server failed
  ErrBlocks = -3,     // six bad blocks in a row
  ErrWrite = -4,      // a block not written whole, or the install rename failed
  ErrCheck = -5,      // too long, wrong CRC-32, or no positive size requested
  ErrCancelled = -7,
};

std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *fmt, ...) {
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

using Clock = std::chrono::steady_clock;

// Every wait of the download is cut into slices of this length; between them a cancel
// request is looked at, so that it takes effect whatever the server does.
constexpr int kSliceMs = 100;

bool CancelRequestedNow() { return HostConfig.DownloadState.state == 3; }

Clock::time_point PieceDeadline() { return Clock::now() + std::chrono::milliseconds(PieceLimitMs.load()); }

int SliceUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, kSliceMs));
}

// Sleeps ms, or less when a cancel comes.
void Pause(int ms) {
  auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (!CancelRequestedNow() && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(SliceUntil(until)));
}

// Waits for sock to become ready for events within deadline: 1 ready, 0 cancelled or
// past the deadline, -1 failed.
int WaitReady(int sock, short events, Clock::time_point deadline) {
  for (;;) {
    if (CancelRequestedNow() || Clock::now() >= deadline) return 0;
    pollfd p{sock, events, 0};
    int r = poll(&p, 1, SliceUntil(deadline));
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) return -1;
  }
}

// connect, bounded like a piece and given up on a cancel.
bool ConnectBounded(int s, const sockaddr *addr, socklen_t len) {
  int flags = fcntl(s, F_GETFL);
  fcntl(s, F_SETFL, flags | O_NONBLOCK);
  bool ok = ::connect(s, addr, len) == 0;
  if (!ok && errno == EINPROGRESS && WaitReady(s, POLLOUT, PieceDeadline()) == 1) {
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
int FillOnce(SockBuf &conn, Clock::time_point deadline) {
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
// (as SockBufReadLine); null on a cancel, past the deadline or on a receive error.
const char *ReadHeaderLine(SockBuf &conn, Clock::time_point deadline) {
  while (!std::memchr(conn.lineStart, '\n', static_cast<size_t>(conn.dataEnd - conn.lineStart))) {
    if (CancelRequestedNow() || Clock::now() >= deadline) return nullptr;
    int f = FillOnce(conn, deadline);
    if (f < 0) break;  // closed: what is held is the last line; SockBufReadLine says so
  }
  return SockBufReadLine(conn);
}

enum class Piece { Whole, Bad, Cancelled };

// Reads want bytes of the body into to: first what the header read left in conn, then
// straight from the socket. Bad when the server closes, fails or takes past the deadline.
Piece ReadPiece(SockBuf &conn, char *to, int want, Clock::time_point deadline) {
  int got = static_cast<int>(std::min<long>(conn.dataEnd - conn.lineStart, want));
  if (got > 0) {
    std::memcpy(to, conn.lineStart, static_cast<size_t>(got));
    conn.lineStart += got;
    conn.scan = conn.lineStart;
  }
  while (got < want) {
    int w = WaitReady(conn.sock, POLLIN, deadline);
    if (CancelRequestedNow()) return Piece::Cancelled;
    if (w < 0 || (w == 0 && Clock::now() >= deadline)) return Piece::Bad;
    if (w == 0) continue;
    ssize_t r = ::recv(conn.sock, to + got, static_cast<size_t>(want - got), MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (r <= 0) return Piece::Bad;
    got += static_cast<int>(r);
  }
  return Piece::Whole;
}

// A file descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// The connection of one request, closed when the request is done with it.
void CloseRemote(SockBuf &conn) {
  if (conn.sock >= 0) ::close(conn.sock);
  conn.sock = -1;
}

bool WriteAll(int fd, const char *data, int len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, static_cast<size_t>(len));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<int>(n);
  }
  return true;
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

// Steps of the download up to the install; the caller settles the end state. Every exit
// leaves its outcome in d.error.
void RunDownload(DownloadStateRec &d) {
  SockBuf conn;
  if (!SockBufInit(conn)) {
    d.error = ErrLocal;
    return;
  }
  int id = 0, version = 0, size = 0;
  unsigned int crcExpected = 0;
  std::sscanf(d.request, kRequestFormat, &id, &version, &size, &crcExpected);
  d.id = id;
  // Nothing to check a download against: an empty package is never installed.
  if (size <= 0) {
    d.error = ErrCheck;
    return;
  }

  std::string folder = HostConfig.PackageFolder;
  std::string temp = Format(kTempFormat, folder.c_str(), id);
  Fd file(::open(temp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (file.get() < 0) {
    d.error = ErrLocal;
    return;
  }

  // Resume: the CRC runs over what the file holds. Once the file is longer than the
  // package it fails the check whatever follows, so the rest is not read.
  uint32_t crc = 0xFFFFFFFFu;
  long long held = 0;
  {
    char block[kResumeBlock];
    for (;;) {
      ssize_t n = ::read(file.get(), block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        d.error = ErrLocal;  // what the file holds is unknown: keep it, go no further
        return;
      }
      if (n == 0) break;
      crc = Crc32Update(crc, block, static_cast<size_t>(n));
      held += n;
      d.bytes = static_cast<int>(std::min<long long>(held, INT_MAX));
      if (held > size) break;
    }
  }
  if (held <= size && ::lseek(file.get(), 0, SEEK_END) != held) {
    d.error = ErrLocal;
    return;
  }

  std::string piece(static_cast<size_t>(BlockSize), '\0');
  int retries = BlockRetries;
  while (held < size && d.error == ErrNone && d.state != CancelRequested) {
    SockBufReset(conn);
    std::string path = Format(kRemotePathFormat, id, version, static_cast<int>(held), 0);
    int length = RemoteGet(conn, path.c_str());
    if (length <= 0) {
      d.error = ErrRequest;
      CloseRemote(conn);
      break;
    }
    while (held < size && d.state != CancelRequested) {
      // The last block asks only for what is missing, so a server that keeps the
      // connection open after the body does not leave it waiting.
      int want = static_cast<int>(std::min<long long>(BlockSize, size - held));
      // One piece may take PieceLimitMs; a slower one is a bad piece.
      Piece got = ReadPiece(conn, piece.data(), want, PieceDeadline());
      if (got == Piece::Cancelled) break;
      const char *block = piece.data();
      if (got == Piece::Bad) {
        if (retries > 0) {
          --retries;
          Pause(BlockRetryWaitMs);
        } else {
          d.error = ErrBlocks;
        }
        break;
      }
      retries = BlockRetries;
      if (!WriteAll(file.get(), block, want)) {
        d.error = ErrWrite;
        break;
      }
      crc = Crc32Update(crc, block, static_cast<size_t>(want));
      held += want;
      d.bytes = static_cast<int>(held);
    }
    CloseRemote(conn);
  }
  file.reset();

  if (held > size || (held == size && ~crc != crcExpected)) {
    d.error = ErrCheck;
    ::unlink(temp.c_str());
    return;
  }
  if (held < size) return;  // kept for a later start with the same id

  // Install. The rename replaces the package in one step; connections opened on the old
  // file keep reading it until their last user lets go.
  std::string target = Format(kTargetFormat, folder.c_str(), id);
  if (id != 1) HostConfig.ChartDb.close();
  if (std::rename(temp.c_str(), target.c_str()) != 0) {
    d.error = ErrWrite;  // the old package and the temporary file stay as they were
    return;
  }
  if (id == 1) HostConfig.AppDb.set(OpenPackageFile(target.c_str()));
}

}  // namespace

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

int RemoteGet(SockBuf &conn, const char *path) {
  ChartServer server = ChartServerConfig();

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  for (int tries = 0;;) {
    if (getaddrinfo(server.host.c_str(), server.port.c_str(), &hints, &list) == 0) break;
    list = nullptr;
    Pause(ResolveRetryWaitMs);
    if (++tries == ResolveTries || CancelRequestedNow()) return RemoteNotResolved;
  }

  int sock = -1;
  for (addrinfo *a = list; a; a = a->ai_next) {
    int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (s < 0) continue;
    SockSetOptions(RemoteReceiveSeconds, s);
    if (ConnectBounded(s, a->ai_addr, a->ai_addrlen)) {
      sock = s;
      break;
    }
    ::close(s);
  }
  freeaddrinfo(list);
  if (sock < 0) return RemoteNoConnection;

  SockSetOptions(RemoteReceiveSeconds, sock);
  SockBufReset(conn);
  conn.sock = sock;

  std::string request = Format(kRemoteRequestFormat, path, server.text.c_str());
  ::send(sock, request.data(), request.size(), MSG_NOSIGNAL);

  bool seen = false;
  long long length = 0;
  // The whole header counts as one piece.
  Clock::time_point deadline = PieceDeadline();
  for (bool first = true;; first = false) {
    const char *line = ReadHeaderLine(conn, deadline);
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

void DownloadThread() {
  DownloadStateRec &d = HostConfig.DownloadState;
  int s = d.state;
  if (s != Requested && s != CancelRequested) return;
  d.error = ErrNone;
  d.bytes = 0;
  d.id = 0;
  // A cancel may come between the test above and this step; it then stays in force.
  int expected = Requested;
  d.state.compare_exchange_strong(expected, Running);
  RunDownload(d);
  if (d.state == CancelRequested) d.error = ErrCancelled;
  d.state = Idle;
}

void HandleDownload(SockBuf &w, const char *rest) {
  DownloadStateRec &d = HostConfig.DownloadState;
  int s = d.state;
  bool started = false;
  if (rest[0] != '*' && s == Idle) {
    // One compare-and-swap decides between starts that arrive together.
    if (d.state.compare_exchange_strong(s, Requested)) {
      std::snprintf(d.request, sizeof d.request, "%s", rest);
      try {
        std::thread(DownloadThread).detach();
      } catch (const std::system_error &) {
        d.error = ErrLocal;
        d.state = Idle;
      }
      s = d.state;
      started = true;
    }
  }
  if (!started && rest[0] && rest[1] == '*') {
    // Only a requested or running download is cancelled: a thread that has just ended
    // must not leave the state at 3 behind it.
    while ((s == Requested || s == Running) && !d.state.compare_exchange_weak(s, CancelRequested)) {
    }
    if (s == Requested || s == Running) s = CancelRequested;
  }
  OutAppendF(w, kProgressFormat, d.id.load(), d.bytes.load(), s, d.error.load());
  SendResponse(w, 0, nullptr, kMimeJson);
}
