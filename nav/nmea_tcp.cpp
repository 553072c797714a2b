// NMEA over TCP: "/nemasock/" names a server and switches the client on or off; the client
// thread connects, hands each sentence line to NmeaHandleSentence and reconnects whenever
// the connection fails or ends.
#include "nav/nmea_tcp.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/pos_state.h"
#include "common/sockbuf.h"
#include "nav/nav.h"

NmeaTcpTimingRec NmeaTcpTiming;

namespace {

constexpr const char *kReconnecting = "reconnecting...\n";

// One client at a time owns the link. Every on or off request starts a new generation;
// a client whose generation is no longer current is stale and ends as soon as it sees so.
struct NmeaTcpSourceRec {
  std::mutex lock;
  std::condition_variable changed;  // generation or link ownership changed
  char host[256] = {};
  int port = 0;
  std::atomic<int> requested{0};
  std::atomic<int> state{0};  // "nmea_stat": 1 running, -1 waiting after a failed connect, 0 off
  SockBuf link;               // sock: the current client's socket or -1; guarded by lock
  uint64_t generation = 0;
  bool linkOwned = false;  // a client thread holds the link (its buffer and socket)
};

// Never destroyed: a detached client may still wait on it or read into its link while
// the process exits.
NmeaTcpSourceRec &NmeaTcpSource = *std::make_unique<NmeaTcpSourceRec>().release();

bool Current(uint64_t gen) {
  std::lock_guard<std::mutex> lk(NmeaTcpSource.lock);
  return NmeaTcpSource.generation == gen;
}

// Only the current client may move the state; a stale one must not undo a later request.
void SetState(uint64_t gen, int value) {
  std::lock_guard<std::mutex> lk(NmeaTcpSource.lock);
  if (NmeaTcpSource.generation == gen) NmeaTcpSource.state = value;
}

bool Resolve(const char *host, int port, sockaddr_in &dest) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return false;
  std::memcpy(&dest, res->ai_addr, sizeof dest);
  freeaddrinfo(res);
  dest.sin_family = AF_INET;
  dest.sin_port = htons(static_cast<uint16_t>(port));
  return true;
}

// Starts a connect that a take-over can always interrupt: begun while the link's lock is
// held, so a shutdown of the socket comes either before the attempt (the wait below then
// ends at once) or during it. A blocking connect could miss a shutdown that came just
// before it and hang for minutes. Returns 1 connected, 0 pending, -1 failed.
int StartConnect(int sock, const sockaddr_in &dest) {
  int flags = fcntl(sock, F_GETFL);
  if (flags == -1 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
  if (connect(sock, reinterpret_cast<const sockaddr *>(&dest), sizeof dest) == 0) return 1;
  return errno == EINPROGRESS || errno == EINTR ? 0 : -1;
}

// Waits for a pending connect as long as a blocking one would; the reads that follow block.
bool FinishConnect(int sock, int started) {
  if (started == 0) {
    pollfd p{sock, POLLOUT, 0};
    int r;
    while ((r = poll(&p, 1, -1)) == -1 && errno == EINTR) {
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (r != 1 || (p.revents & (POLLERR | POLLHUP)) ||
        getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
      return false;
  } else if (started < 0) {
    return false;
  }
  int flags = fcntl(sock, F_GETFL);
  return flags != -1 && fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

void SetOptions(int sock) {
  int ms = NmeaTcpTiming.receiveTimeoutMs;
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

// Hands on a line that holds a '$' or '!' with a '*' after it and no second start before
// that '*'. Text in front of the start goes with it.
void HandLine(const char *line) {
  char work[kNmeaTcpLineLimit];
  std::strncpy(work, line, sizeof work - 1);
  work[sizeof work - 1] = '\0';
  const char *p = std::strpbrk(work, "$!");
  if (p == nullptr) return;
  for (p++; *p != '*'; p++)
    if (*p == '\0' || *p == '$' || *p == '!') return;
  NmeaHandleSentence(work);
}

// Reads lines until the connection fails, ends, brings an over-long line, or the client
// goes stale. Bytes left in the buffer stay there for the next connection.
void ReadLines(SockBuf &link, uint64_t gen) {
  while (Current(gen)) {
    char *line = SockBufReadLine(link);
    if (line == nullptr) return;
    if (link.lineLen == 0 || link.lineLen >= kNmeaTcpLineLimit) return;
    if (!Current(gen)) return;
    HandLine(line);
  }
}

void CloseLink(SockBuf &link) {
  std::lock_guard<std::mutex> lk(NmeaTcpSource.lock);
  if (link.sock != -1) close(link.sock);
  link.sock = -1;
}

void NmeaTcpThread(SockBuf *link, uint64_t gen) {
  NmeaTcpSourceRec &s = NmeaTcpSource;
  char host[256];
  int port;
  {
    // Take-over: wake an earlier client blocked in a read or a connect on its own socket,
    // then wait until it has let go of the link. A thread that starts only after a later
    // request is stale already and must not cut the connection of the current client.
    std::unique_lock<std::mutex> lk(s.lock);
    if (s.generation != gen) return;
    if (s.linkOwned && link->sock != -1) shutdown(link->sock, SHUT_RDWR);
    s.changed.wait(lk, [&] { return !s.linkOwned || s.generation != gen; });
    if (s.generation != gen) return;
    s.linkOwned = true;
    link->keepAlive = 1;
    std::memcpy(host, s.host, sizeof host);
    port = s.port;
  }

  sockaddr_in dest{};
  bool resolved = false;
  while (Current(gen)) {
    if (!resolved) resolved = Resolve(host, port, dest);
    // Close-on-exec: a web process spawned meanwhile would keep the connection open.
    int sock = resolved ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP) : -1;
    int started = -1;
    {
      std::lock_guard<std::mutex> lk(s.lock);
      if (s.generation != gen) {
        if (sock != -1) close(sock);
        break;
      }
      link->sock = sock;
      if (sock != -1) {
        SetOptions(sock);
        started = StartConnect(sock, dest);
      }
    }
    bool connected = FinishConnect(sock, started);
    if (!connected && Current(gen)) {
      SetState(gen, -1);
      std::puts(kReconnecting);
      std::fflush(stdout);
      std::unique_lock<std::mutex> lk(s.lock);
      s.changed.wait_for(lk, std::chrono::milliseconds(NmeaTcpTiming.retryWaitMs.load()),
                         [&] { return s.generation != gen; });
    }
    SetState(gen, 1);
    if (connected) ReadLines(*link, gen);
    CloseLink(*link);
  }

  std::lock_guard<std::mutex> lk(s.lock);
  if (s.generation == gen && s.state > 0) s.state = 0;
  link->keepAlive = 0;
  s.linkOwned = false;
  s.changed.notify_all();
}

}  // namespace

void NmeaSockControl(char *hostToken, char **splitter) {
  NmeaTcpSourceRec &s = NmeaTcpSource;
  std::unique_lock<std::mutex> lk(s.lock);
  std::strncpy(s.host, hostToken, sizeof s.host - 1);
  s.host[sizeof s.host - 1] = '\0';

  char *token = strtok_r(nullptr, "/", splitter);
  if (token == nullptr) return;
  s.port = static_cast<int>(std::strtol(token, nullptr, 10));
  token = strtok_r(nullptr, "\r\n", splitter);
  if (token == nullptr) return;
  int on = static_cast<int>(std::strtol(token, nullptr, 10));
  s.requested = on;

  if (s.link.buf == nullptr) {
    if (SockBufInit(s.link) == nullptr) return;
    s.link.sock = -1;
  }
  uint64_t gen = ++s.generation;
  s.changed.notify_all();
  if (on == 1) {
    PosState.tcpInput = 1;
    try {
      std::thread(NmeaTcpThread, &s.link, gen).detach();
      s.state = 1;
    } catch (const std::system_error &) {
      s.state = 0;  // no client runs; the page sees it off
    }
  } else {
    s.state = 0;
    PosState.tcpInput = 0;
  }
}

int NmeaTcpRequested() { return NmeaTcpSource.requested; }

int NmeaTcpState() { return NmeaTcpSource.state; }

bool NmeaTcpClientActive() {
  std::lock_guard<std::mutex> lk(NmeaTcpSource.lock);
  return NmeaTcpSource.linkOwned;
}
