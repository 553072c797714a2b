// The listener and the per-connection request loop of the local HTTP/1.1 server.
#include "server/listener.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
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
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "common/ascii.h"
#include "common/failure_report.h"
#include "common/host_config.h"
#include "server/databases.h"
#include "server/response.h"
#include "server/routes.h"

namespace {

constexpr int kKeepAliveStart = 10000;
constexpr int kReceiveSeconds = 120;
constexpr int kMethodLimit = 14;
constexpr int kPathLimit = 254;
// A body larger than this is not read: the connection ends without a response. The
// page's largest bodies (settings, host state, SQL) are far below it.
constexpr long kMaxContentLength = 16L * 1024 * 1024;
// After a request that grew a buffer beyond this, the buffer goes back to its start size.
constexpr int kKeepBufferBytes = 256 * 1024;
// At most this many connections are open at once (fewer when descriptors are scarce);
// a new one beyond it pushes out the one that has waited longest for its client.
constexpr int kMaxConnections = 256;
// Connections waiting to be accepted. A short queue lets a burst of clients push the
// page's connect into SYN retries of a second and more.
constexpr int kListenBacklog = 128;
// The one origin whose pages may drive this server: the window's own.
constexpr char kOwnOrigin[] = "http://127.0.0.2:9999";

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
  SendResponse(w, 0, "403 Forbidden", kMimeBinary);
}

// Header name comparison, ASCII letters only, whatever the locale.
bool HeaderIs(const char *line, const char *name, const char *&value) {
  size_t n = std::strlen(name);
  if (AsciiStrncasecmp(line, name, n) != 0) return false;
  if (line[n] != ':') return false;
  value = line + n + 1;
  while (*value == ' ' || *value == '\t') ++value;
  return true;
}

// Another site's page (or a local file, "Origin: null") sending requests here through the
// user's browser: the browser marks them with Sec-Fetch-Site, Origin or Referer, and each
// of them that is present must name this server. Requests without them (plain clients)
// pass. "Sec-Fetch-Site: none" is a navigation the user started outside any page (a link
// from mail or chat, a bookmark, the window's first load): fromOutside is set for it.
bool SameOriginAllowed(const char *line, bool &sawForeign, bool &fromOutside) {
  const char *v = nullptr;
  std::string t;
  auto trimmed = [&] {
    t.assign(v);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.pop_back();
    return t;
  };
  if (HeaderIs(line, "Sec-Fetch-Site", v)) {
    trimmed();
    if (t == "none")
      fromOutside = true;
    else if (t != "same-origin")
      sawForeign = true;
  } else if (HeaderIs(line, "Origin", v)) {
    if (trimmed() != kOwnOrigin) sawForeign = true;
  } else if (HeaderIs(line, "Referer", v)) {
    trimmed();
    if (t.compare(0, sizeof kOwnOrigin, std::string(kOwnOrigin) + "/") != 0) sawForeign = true;
  }
  return !sawForeign;
}

// What a navigation from outside may open: the page's own files, read. Everything else
// (settings, SQL, package deletion, "/quit!") takes a request of the page itself. The
// path is compared as the routes see it, decoded.
bool OpenableFromOutside(const char *method, const char *path) {
  static const char kOwnFiles[] = "/app/";
  if (std::strcmp(method, "GET") != 0) return false;
  char decoded[kPathLimit + 1];
  std::snprintf(decoded, sizeof decoded, "%s", path);
  UrlDecode(decoded);
  return std::strncmp(decoded, kOwnFiles, sizeof kOwnFiles - 1) == 0;
}

// Owner of the peer's socket of an accepted loopback connection, from the kernel's socket
// diagnostics (the exact four-tuple of the peer's side). False when it cannot be told:
// no such socket (the peer has gone; a closing socket reports no owner) or no answer.
bool PeerUidByDiag(const sockaddr_in &peer, const sockaddr_in &local, uid_t &uid, bool &unsupported) {
  unsupported = false;
  int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (nl < 0) {
    unsupported = true;
    return false;
  }
  struct {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
  } msg{};
  msg.nlh.nlmsg_len = sizeof msg;
  msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.nlh.nlmsg_flags = NLM_F_REQUEST;
  msg.nlh.nlmsg_seq = 1;
  msg.req.sdiag_family = AF_INET;
  msg.req.sdiag_protocol = IPPROTO_TCP;
  msg.req.idiag_states = ~0u;
  // The peer's socket: its own address is our peer address, its remote end is us.
  msg.req.id.idiag_sport = peer.sin_port;
  msg.req.id.idiag_dport = local.sin_port;
  msg.req.id.idiag_src[0] = peer.sin_addr.s_addr;
  msg.req.id.idiag_dst[0] = local.sin_addr.s_addr;
  msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  timeval tv{1, 0};
  setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  bool found = false;
  if (sendto(nl, &msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof msg)) {
    alignas(nlmsghdr) char buf[8192];
    ssize_t n = recv(nl, buf, sizeof buf, 0);
    if (n < 0) unsupported = true;
    for (auto *h = reinterpret_cast<nlmsghdr *>(buf); n > 0 && NLMSG_OK(h, static_cast<unsigned>(n));
         h = NLMSG_NEXT(h, n)) {
      if (h->nlmsg_type == NLMSG_ERROR) {
        auto *e = static_cast<nlmsgerr *>(NLMSG_DATA(h));
        // ENOENT: no such socket. Anything else: the facility is not there.
        if (h->nlmsg_len >= NLMSG_LENGTH(sizeof *e) && e->error != -ENOENT) unsupported = true;
        break;
      }
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) break;
      auto *d = static_cast<inet_diag_msg *>(NLMSG_DATA(h));
      // A socket in TIME_WAIT (or the FIN_WAIT2 kept in its place after a close) is
      // reported without its owner: uid 0 and no inode.
      if (d->idiag_state != TCP_TIME_WAIT && !(d->idiag_inode == 0 && d->idiag_uid == 0)) {
        uid = d->idiag_uid;
        found = true;
      }
      break;
    }
  } else {
    unsupported = true;
  }
  close(nl);
  return found;
}

// The same from /proc/net/tcp, for kernels without socket diagnostics.
bool PeerUidByProc(const sockaddr_in &peer, const sockaddr_in &local, uid_t &uid) {
  FILE *f = std::fopen("/proc/net/tcp", "re");
  if (!f) return false;
  char line[512];
  bool found = false;
  unsigned long want = ntohs(peer.sin_port), wantRemote = ntohs(local.sin_port);
  while (!found && std::fgets(line, sizeof line, f)) {
    unsigned int la, ra, st;
    unsigned long lp, rp, u, inode;
    if (std::sscanf(line, " %*d: %8X:%lX %8X:%lX %X %*s %*s %*s %lu %*d %lu", &la, &lp, &ra, &rp, &st, &u, &inode) !=
        7)
      continue;
    if (la == peer.sin_addr.s_addr && lp == want && ra == local.sin_addr.s_addr && rp == wantRemote &&
        st != TCP_TIME_WAIT && !(inode == 0 && u == 0)) {
      uid = static_cast<uid_t>(u);
      found = true;
    }
  }
  std::fclose(f);
  return found;
}

// True when the process at the other end of sock runs as this process's user. A peer
// whose owner cannot be told is refused as well: on Linux both sources are always there
// for a peer that is still connected, so only a peer that has already gone, or a system
// without /proc and socket diagnostics, ends up here.
bool PeerIsOwnUser(int sock) {
  sockaddr_storage any{};
  socklen_t al = sizeof any;
  if (getsockname(sock, reinterpret_cast<sockaddr *>(&any), &al) != 0) return false;
  if (any.ss_family == AF_UNIX) {
    // A local stream socket (a socket pair) carries its peer's credentials.
    ucred cred{};
    socklen_t cl = sizeof cred;
    return getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &cred, &cl) == 0 && cred.uid == geteuid();
  }
  sockaddr_in peer{}, local{};
  socklen_t pl = sizeof peer, ll = sizeof local;
  if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &pl) != 0 ||
      getsockname(sock, reinterpret_cast<sockaddr *>(&local), &ll) != 0 || peer.sin_family != AF_INET)
    return false;
  uid_t uid = 0;
  bool unsupported = false;
  bool found = PeerUidByDiag(peer, local, uid, unsupported);
  if (!found && unsupported) found = PeerUidByProc(peer, local, uid);
  return found && uid == geteuid();
}

// The open connections, for the cap: each with the time its client last started a request.
// A fixed table of plain slots, so that threads still ending at exit never meet a
// destroyed container. A connection's own thread marks its requests without the table's
// lock (every request passes there, on every connection at once); a slot to a cache line,
// so that those marks do not share lines.
struct alignas(64) OpenConnection {
  int sock = -1;
  bool used = false;
  bool shut = false;  // shut down for the cap; its thread has not ended yet
  std::atomic<bool> inHandler{false};
  std::atomic<std::chrono::steady_clock::rep> active{0};
};

class ConnectionTable {
 public:
  // Takes a new connection in; -1 when the table is full. At the cap the connection that
  // has waited longest for its client is shut down (its thread then ends as after a close
  // by the client); one inside a handler is chosen only when all are.
  int add(int sock) {
    std::lock_guard<std::mutex> lk(m_);
    if (live_ >= Cap()) {
      int victim = -1;
      for (int i = 0; i < kSlots; ++i) {
        const OpenConnection &e = open_[i];
        if (!e.used || e.shut) continue;
        if (victim < 0) {
          victim = i;
          continue;
        }
        const OpenConnection &v = open_[victim];
        const bool vIn = v.inHandler.load(std::memory_order_relaxed), eIn = e.inHandler.load(std::memory_order_relaxed);
        if ((vIn && !eIn) || (vIn == eIn && e.active.load(std::memory_order_relaxed) <
                                                v.active.load(std::memory_order_relaxed)))
          victim = i;
      }
      if (victim >= 0) {
        shutdown(open_[victim].sock, SHUT_RDWR);
        open_[victim].shut = true;
        --live_;
      }
    }
    for (int i = 0; i < kSlots; ++i) {
      OpenConnection &e = open_[i];
      if (e.used) continue;
      e.sock = sock;
      e.used = true;
      e.shut = false;
      e.inHandler.store(false, std::memory_order_relaxed);
      e.active.store(Now(), std::memory_order_relaxed);
      ++live_;
      return i;
    }
    return -1;
  }
  // Only the connection's own thread marks its slot.
  void mark(int slot, bool inHandler) {
    OpenConnection &e = open_[slot];
    if (inHandler) e.active.store(Now(), std::memory_order_relaxed);
    e.inHandler.store(inHandler, std::memory_order_relaxed);
  }
  // Before the socket is closed, so that no shutdown can reach a reused descriptor.
  void remove(int slot) {
    std::lock_guard<std::mutex> lk(m_);
    if (!open_[slot].shut) --live_;
    open_[slot].used = false;
  }

 private:
  static constexpr int kSlots = 4 * kMaxConnections;
  static std::chrono::steady_clock::rep Now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }
  static int Cap() {
    static const int c = [] {
      rlimit rl{};
      if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return kMaxConnections;
      // Leave descriptors for the databases, the navigation sources and the window.
      long room = static_cast<long>(rl.rlim_cur) / 2;
      return static_cast<int>(std::clamp<long>(room, 16, kMaxConnections));
    }();
    return c;
  }
  std::mutex m_;
  OpenConnection open_[kSlots];
  int live_ = 0;  // used slots not shut down
};

ConnectionTable connections;

// Gives a grown buffer back once the request that needed it is done.
void ShrinkAfterRequest(SockBuf &reader, SockBuf &writer, std::string &body) {
  if (reader.capacity > kKeepBufferBytes) SockBufShrink(reader);
  if (writer.capacity > kKeepBufferBytes) SockBufShrink(writer);
  if (body.capacity() > static_cast<size_t>(kKeepBufferBytes)) std::string().swap(body);
}

}  // namespace

void ConnectionThread(int sock) {
  // Another user's process gets nothing: not a byte is read from it.
  if (!PeerIsOwnUser(sock)) {
    close(sock);
    return;
  }
  SockBuf reader, writer;
  if (!SockBufInit(reader) || !SockBufInit(writer)) {
    close(sock);
    return;
  }
  reader.sock = writer.sock = sock;
  reader.budgeted = writer.budgeted = true;
  SockSetOptions(kReceiveSeconds, sock);
  int self = connections.add(sock);
  if (self < 0) {
    close(sock);
    return;
  }

  int keepAlive = kKeepAliveStart;
  char method[kMethodLimit + 1] = {};
  char path[kPathLimit + 1] = {};
  std::string body;
  for (;;) {
    SockBufReset(writer);
    writer.keepAlive = --keepAlive;

    // A line longer than the reader holds ends the connection: read on, its rest would
    // be taken for header lines of its own.
    char *line = SockBufReadLine(reader);
    if (!line || !*line || reader.lineCut) break;
    const char *p = line;
    if (ScanToken(p, method, kMethodLimit)) ScanToken(p, path, kPathLimit);

    long contentLength = 0;
    bool badHost = false, foreign = false, fromOutside = false, headerOk = true;
    for (;;) {
      char *h = SockBufReadLine(reader);
      if (!h || reader.lineCut) {
        headerOk = false;
        break;
      }
      ScanContentLength(h, contentLength);
      HostAllowed(h, badHost);
      SameOriginAllowed(h, foreign, fromOutside);
      if (reader.lineLen <= 2) break;
    }
    if (!headerOk) break;
    if (badHost || foreign || (fromOutside && !OpenableFromOutside(method, path))) {
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
      connections.mark(self, true);
      RoutePost(writer, path, body.c_str(), len);
      connections.mark(self, false);
    } else if (std::strcmp(method, "GET") == 0) {
      UrlDecode(path);
      connections.mark(self, true);
      RouteGet(writer, path);
      connections.mark(self, false);
    }
    ShrinkAfterRequest(reader, writer, body);

    method[0] = 0;
    path[0] = 0;
    if (!HostConfig.ServerRunning) break;
    if (writer.keepAlive < -2) break;
  }
  connections.remove(self);
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

namespace {

// What the listener has reached, for the window, and the failure text it last reported.
std::mutex statusLock;
ListenState listenState = ListenState::Starting;
std::string listenFailure;
std::atomic<void (*)()> statusObserver{nullptr};

// Records the status; true when it changed. The observer hears of every change.
bool SetListenStatus(ListenState state, const std::string &failure) {
  {
    std::lock_guard<std::mutex> lk(statusLock);
    if (listenState == state && listenFailure == failure) return false;
    listenState = state;
    listenFailure = failure;
  }
  if (void (*observer)() = statusObserver.load()) observer();
  return true;
}

// A failed bind as the user reads it: address, port and the reason.
void DescribeBindFailure(int err, std::string &what, std::string &why) {
  what = "cannot listen on " + std::string(HostConfig.ServerAddress) + ":" + std::to_string(HostConfig.ServerPort);
  if (err == 0 && !HostConfig.ServerAddress[0]) {
    what = "cannot listen";
    why = "no address is set (start-up found no data folder)";
    return;
  }
  if (err == 0) {
    why = "\"" + std::string(HostConfig.ServerAddress) + "\" is not an IPv4 address";
    return;
  }
  why = ErrorText(err);
  if (err == EADDRINUSE) why += " (another program holds it)";
}

// Binds and listens on the configured address, read afresh at every try. The socket, or
// -1 with the reason in err (0: the address does not parse).
int BindListener(int &err) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(HostConfig.ServerPort));
  // An address that does not parse (empty when the data folder was not found) is a failed
  // bind, not the broadcast address inet_addr() would make of it.
  if (inet_pton(AF_INET, HostConfig.ServerAddress, &addr.sin_addr) != 1) {
    err = 0;
    return -1;
  }
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ls < 0) {
    err = errno;
    return -1;
  }
  int on = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Another program may take the address between bind and listen: listen then fails.
  if (bind(ls, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(ls, kListenBacklog) != 0) {
    err = errno;
    close(ls);
    return -1;
  }
  return ls;
}

// "ERROR on binding" on standard output at every failed bind; the reason on standard
// error once, until it changes or the listener has listened meanwhile.
void ReportBindFailure(int err) {
  std::fputs("ERROR on binding", stdout);
  std::fflush(stdout);
  std::string what, why;
  DescribeBindFailure(err, what, why);
  if (SetListenStatus(ListenState::Failed, FailureLine(what, why))) ReportFailure(what, why);
}

}  // namespace

ListenerStatus GetListenerStatus() {
  std::lock_guard<std::mutex> lk(statusLock);
  return {listenState, listenFailure};
}

void SetListenerObserver(void (*observer)()) { statusObserver = observer; }

int ListenerThread() {
  int err = 0;
  int ls = BindListener(err);
  if (ls < 0) {
    // Nothing else listens in our place: the bind is tried again once a second, until it
    // succeeds or the program shuts down.
    ReportBindFailure(err);
    HostConfig.ServerRunning = 1;
    while (ls < 0) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      if (!HostConfig.ServerRunning) return 0;
      ls = BindListener(err);
      if (ls < 0) ReportBindFailure(err);
    }
    ReportLine("listening on " + std::string(HostConfig.ServerAddress) + ":" + std::to_string(HostConfig.ServerPort) +
               " now");
  }
  HostConfig.ServerRunning = 1;
  SetListenStatus(ListenState::Listening, "");

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
  close(ls);

  if (HostConfig.ServerRunning) {
    // Restart after an accept failure, paced so that a listener that keeps failing does
    // not spin. Requests in flight keep their own references to the old connections.
    int delay = restartDelayMs.load();
    delay = delay == 0 ? 1000 : std::min(delay * 2, 30000);
    restartDelayMs = delay;
    CloseDatabases();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    OpenDatabases();
  }
  return 0;
}

void StartListener() {
  try {
    std::thread(ListenerThread).detach();
  } catch (const std::system_error &e) {
    const std::string what = "cannot start the server's listener", why = ErrorText(e.code().value());
    if (SetListenStatus(ListenState::Failed, FailureLine(what, why))) ReportFailure(what, why);
  }
}
