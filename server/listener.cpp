// The listener and the per-connection request loop of the local HTTP/1.1 server.
#include "server/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "common/ascii.h"
#include "common/host_config.h"
#include "server/databases.h"
#include "server/routes.h"
#include "server/sockbuf.h"

namespace {

constexpr int kKeepAliveStart = 10000;
constexpr int kReceiveSeconds = 120;
constexpr int kMethodLimit = 14;
constexpr int kPathLimit = 254;
// A body larger than this is not read: the connection ends without a response.
constexpr long kMaxContentLength = 64L * 1024 * 1024;

// Restart pacing after accept failures: 1 s, doubling up to 30 s, reset by an accept.
std::atomic<int> restartDelayMs{0};

// Reads one blank-separated token the way "%s" does; false when it is longer than limit
// (the token is then taken as empty and parsing stops).
bool ScanToken(const char *&p, char *out, int limit) {
  while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
  int n = 0;
  while (p[n] && !std::isspace(static_cast<unsigned char>(p[n]))) ++n;
  if (n > limit) {
    out[0] = 0;
    return false;
  }
  std::memcpy(out, p, static_cast<size_t>(n));
  out[n] = 0;
  p += n;
  return true;
}

// "Content-Length:%d": true and the value when the line matches.
bool ScanContentLength(const char *line, long &value) {
  static const char kName[] = "Content-Length:";
  if (std::strncmp(line, kName, sizeof kName - 1) != 0) return false;
  const char *p = line + sizeof kName - 1;
  while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
  const char *start = p;
  if (*p == '+' || *p == '-') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  errno = 0;
  long long v = std::strtoll(start, nullptr, 10);
  if (errno == ERANGE) v = v < 0 ? -1 : kMaxContentLength + 1;
  value = static_cast<long>(std::clamp<long long>(v, -1, kMaxContentLength + 1));
  return true;
}

// The Host header names this server, or is absent. Anything else is another site's page
// reaching the loopback server through a rebound name, and is refused.
bool HostAllowed(const char *line, bool &sawBadHost) {
  if (AsciiStrncasecmp(line, "Host:", 5) != 0) return true;
  const char *p = line + 5;
  while (*p == ' ' || *p == '\t') ++p;
  std::string v(p);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.pop_back();
  if (v != "127.0.0.2" && v != "127.0.0.2:9999") sawBadHost = true;
  return !sawBadHost;
}

void RefuseForbidden(SockBuf &w) {
  SockBufReset(w);
  w.keepAlive = 0;
  SendResponse(w, 0, "403 Forbidden", 0);
}

}  // namespace

void ConnectionThread(int sock) {
  SockBuf reader, writer;
  if (!SockBufInit(reader) || !SockBufInit(writer)) {
    close(sock);
    return;
  }
  reader.sock = writer.sock = sock;
  SockSetOptions(kReceiveSeconds, sock);

  int keepAlive = kKeepAliveStart;
  char method[kMethodLimit + 1] = {};
  char path[kPathLimit + 1] = {};
  std::string body;
  for (;;) {
    SockBufReset(writer);
    writer.keepAlive = --keepAlive;

    char *line = SockBufReadLine(reader);
    if (!line || !*line) break;
    const char *p = line;
    if (ScanToken(p, method, kMethodLimit)) ScanToken(p, path, kPathLimit);

    long contentLength = 0;
    bool badHost = false, headerOk = true;
    for (;;) {
      char *h = SockBufReadLine(reader);
      if (!h) {
        headerOk = false;
        break;
      }
      ScanContentLength(h, contentLength);
      HostAllowed(h, badHost);
      if (reader.lineLen <= 2) break;
    }
    if (!headerOk) break;
    if (badHost) {
      RefuseForbidden(writer);
      break;
    }
    if (contentLength < 0 || contentLength > kMaxContentLength) break;

    if (std::strcmp(method, "POST") == 0 && contentLength != 0) {
      UrlDecode(path);
      int len = static_cast<int>(contentLength);
      char *data = SockBufReadBytes(reader, len);
      if (!data || reader.lineLen < len) break;
      // The body is handed on as its own NUL-terminated copy: the bytes behind it in the
      // reader may already belong to the next request.
      body.assign(data, static_cast<size_t>(len));
      RoutePost(writer, path, body.c_str(), len);
    } else if (std::strcmp(method, "GET") == 0) {
      UrlDecode(path);
      RouteGet(writer, path);
    }

    method[0] = 0;
    path[0] = 0;
    if (!HostConfig.ServerRunning) break;
    if (writer.keepAlive < -2) break;
  }
  close(sock);
}

static void SpawnConnection(int sock) {
  try {
    std::thread(ConnectionThread, sock).detach();
  } catch (const std::system_error &) {
    close(sock);  // no thread for it: the client sees the connection closed
  }
}

static bool TransientAcceptError(int err) {
  switch (err) {
    case EINTR: case ECONNABORTED: case EPROTO: case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
      return true;
    default:
      return false;
  }
}

int ListenerThread() {
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(HostConfig.ServerPort));
  // An address that does not parse (empty when the data folder was not found) is a failed
  // bind, not the broadcast address inet_addr() would make of it.
  bool bound = inet_pton(AF_INET, HostConfig.ServerAddress, &addr.sin_addr) == 1 &&
               bind(ls, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  if (!bound) {
    std::fputs("ERROR on binding", stdout);
    std::fflush(stdout);
  }
  // Linux would give an unbound socket a free port on every interface at listen(). Not
  // listening instead makes the accept below fail, and the restart binds again.
  if (bound) listen(ls, 5);
  HostConfig.ServerRunning = 1;

  for (;;) {
    int s = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (s >= 0) {
      restartDelayMs = 0;
      SpawnConnection(s);
      if (!HostConfig.ServerRunning) break;
      continue;
    }
    if (!HostConfig.ServerRunning) break;
    if (TransientAcceptError(errno)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    break;
  }
  if (ls >= 0) close(ls);

  if (HostConfig.ServerRunning) {
    // Restart after an accept failure, paced so that a listener that cannot bind does
    // not spin. Requests in flight keep their own references to the old connections.
    HostConfig.ServerRunning = 0;
    int delay = restartDelayMs.load();
    delay = delay == 0 ? 1000 : std::min(delay * 2, 30000);
    restartDelayMs = delay;
    HostConfig.TripDb.close();
    HostConfig.AppDb.close();
    HostConfig.ChartDb.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    OpenDatabases();
  }
  return 0;
}

void StartListener() {
  try {
    std::thread(ListenerThread).detach();
  } catch (const std::system_error &) {
  }
}
