// NMEA over TCP against real TCP servers on loopback: the "/nemasock/" route, connect and
// reconnect, the wait after a refused connect, the receive time-out, the line limit, bytes
// carried from one connection into the next, take-over by a second on request, and AIS
// sentences arriving over TCP and polled through "/getAisData".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/nav.h"
#include "nav/nmea_tcp.h"
#include "tests/support/testing.h"

using testing_support::HttpGet;
using testing_support::WaitUntil;

namespace {

const char kMsg1[] = "!AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0*5D";
const char kRow1[] = "[211234560,1,0,21127038,11624749,123,2345,234,-2,0]";
const char kMsg18[] = "!AIVDM,1,1,,A,B3KLehP0B@LTN6`Vl;rrBE063P06,0*5A";
const char kRow18Head[] = "[230108610,18,";

// The bound of every wait here; it only limits a failing test.
constexpr int kWaitMs = 15000;

// A TCP server on 127.0.0.1 that accepts every connection and lets the test talk on each.
class LineServer {
 public:
  LineServer() {
    fd_ = testing_support::ListenLoopback(8, &port_);
    thread_ = std::thread([this] { AcceptLoop(); });
  }
  ~LineServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
    std::lock_guard<std::mutex> lk(lock_);
    for (int c : conns_)
      if (c >= 0) close(c);
  }
  int port() const { return port_; }
  int accepted() {
    std::lock_guard<std::mutex> lk(lock_);
    return static_cast<int>(conns_.size());
  }
  // The n-th accepted connection (1-based), once it exists.
  int conn(int n) {
    if (!WaitUntil([&] { return accepted() >= n; }, kWaitMs)) return -1;
    std::lock_guard<std::mutex> lk(lock_);
    return conns_[n - 1];
  }
  bool send(int n, const std::string &bytes) {
    int c = conn(n);
    return c >= 0 && ::send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // True once the client has closed the n-th connection (whatever it sent is discarded).
  bool clientClosed(int n, int ms = kWaitMs) {
    int c = conn(n);
    if (c < 0) return false;
    return WaitUntil([&] {
      char buf[256];
      pollfd p{c, POLLIN, 0};
      if (poll(&p, 1, 0) <= 0) return false;
      return recv(c, buf, sizeof buf, MSG_DONTWAIT) == 0;
    }, ms);
  }
  void closeAll() {
    std::lock_guard<std::mutex> lk(lock_);
    for (int &c : conns_)
      if (c >= 0) shutdown(c, SHUT_RDWR);
  }

 private:
  void AcceptLoop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      std::lock_guard<std::mutex> lk(lock_);
      conns_.push_back(c);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<int> conns_;
};

// A loopback port with nothing listening: connects are refused.
int RefusedPort() { return testing_support::RefusedLoopbackPort(); }

// A listener whose accept queue is full: further connects hang unanswered.
class HangingServer {
 public:
  HangingServer() {
    fd_ = testing_support::ListenLoopback(0, &port_);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    for (int i = 0; i < 3; ++i) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
      fillers_.push_back(c);
    }
  }
  ~HangingServer() {
    for (int c : fillers_) close(c);
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

std::string Control(const std::string &rest) {
  auto r = HttpGet("/nemasock/" + rest);
  if (!r) return "no answer";
  EXPECT_EQ(r->header("Content-Type"), "text/html");
  return r->body;
}

std::string On(int port, const char *host = "127.0.0.1") {
  return Control(std::string(host) + "/" + std::to_string(port) + "/1");
}

void Off() {
  EXPECT_EQ(Control("127.0.0.1/1/0"), "0");
}

// Polls "/getAisData" and keeps the rows; returns the state the document reported.
struct Poller {
  std::vector<std::string> rows;
  int stat = 99;
  int poll() {
    auto r = HttpGet("/getAisData");
    if (!r) return stat;
    const std::string &b = r->body;
    EXPECT_EQ(r->header("Content-Type"), "application/json; charset=UTF-8");
    stat = std::atoi(b.c_str() + std::strlen("{\"nmea_stat\":"));
    size_t pos = b.find("[\n") + 2, stop = b.size() - 2;
    while (pos < stop) {
      size_t end = b.find(",\n", pos);
      if (end == std::string::npos || end > stop) end = stop;
      rows.push_back(b.substr(pos, end - pos));
      pos = end + 2;
    }
    return stat;
  }
  bool has(const std::string &prefix) const {
    for (const std::string &r : rows)
      if (r.rfind(prefix, 0) == 0) return true;
    return false;
  }
  bool waitRow(const std::string &prefix) {
    return WaitUntil([&] {
      poll();
      return has(prefix);
    }, kWaitMs);
  }
};

class NmeaTcp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_support::SharedServerEnv(); }
  void SetUp() override {
    NmeaTcpTiming.receiveTimeoutMs = 60100;
    NmeaTcpTiming.retryWaitMs = 5000;
    Poller().poll();  // empty the rows
  }
  // Off, and no client left on the link, so the next test starts clean.
  void TearDown() override {
    Off();
    // Closed on every pass: a connection the client made just before may be accepted only
    // after the first close, and the client would sit in its read until the time-out.
    EXPECT_TRUE(WaitUntil([&] {
      for (LineServer *s : servers_) s->closeAll();
      return !NmeaTcpClientActive();
    }, kWaitMs));
  }
  LineServer &Server() {
    owned_.emplace_back(std::make_unique<LineServer>());
    servers_.push_back(owned_.back().get());
    return *owned_.back();
  }
  std::vector<std::unique_ptr<LineServer>> owned_;
  std::vector<LineServer *> servers_;
};

}  // namespace

TEST_F(NmeaTcp, RouteElements) {
  struct Case {
    std::string rest;
    int requested;  // -1: unchanged
  };
  LineServer &s = Server();
  const std::string p = std::to_string(s.port());
  const Case cases[] = {
      {"", -1},                      // nothing after the prefix
      {"127.0.0.1", -1},             // host alone
      {"127.0.0.1/" + p, -1},        // host and port
      {"127.0.0.1/" + p + "/", -1},  // empty on element
      {"127.0.0.1/" + p + "/01", 1},
      {"127.0.0.1/" + p + "/2", 2},
      {"127.0.0.1/" + p + "/1/x", 1},  // the rest of the path, slashes included
      {"127.0.0.1/" + p + "/true", 0},
      {"127.0.0.1/" + p + "/0", 0},
  };
  for (const Case &c : cases) {
    int before = NmeaTcpRequested();
    EXPECT_EQ(Control(c.rest), "0") << c.rest;
    EXPECT_EQ(NmeaTcpRequested(), c.requested < 0 ? before : c.requested) << c.rest;
    EXPECT_EQ(NmeaTcpState(), NmeaTcpRequested() == 1 ? 1 : 0) << c.rest;
    EXPECT_EQ(PosState.tcpInput.load(), NmeaTcpRequested() == 1 ? 1 : 0) << c.rest;
  }
}

TEST_F(NmeaTcp, AisOverTcpReachesThePoll) {
  LineServer &s = Server();
  ASSERT_EQ(On(s.port()), "0");
  // Running at once, before any connection exists.
  EXPECT_EQ(NmeaTcpState(), 1);
  EXPECT_EQ(PosState.tcpInput.load(), 1);
  ASSERT_TRUE(s.send(1, std::string(kMsg1) + "\r\n\r\n" + kMsg18 + "\n"));
  Poller poll;
  ASSERT_TRUE(poll.waitRow(kRow18Head));
  EXPECT_TRUE(poll.has(kRow1));
  EXPECT_EQ(poll.stat, 1);
  EXPECT_EQ(s.accepted(), 1);  // the empty line kept the connection

  Off();
  EXPECT_EQ(NmeaTcpState(), 0);
  EXPECT_EQ(PosState.tcpInput.load(), 0);
  EXPECT_EQ(poll.poll(), 0);
}

TEST_F(NmeaTcp, RefusedConnectWaitsWithStateMinusOne) {
  NmeaTcpTiming.retryWaitMs = 300;
  const int port = RefusedPort();
  testing::internal::CaptureStdout();
  EXPECT_EQ(On(port), "0");
  Poller poll;
  bool waiting = WaitUntil([&] { return poll.poll() == -1; }, kWaitMs);
  // Any sentence pass during the wait reports the source as waiting.
  bool fix998 = WaitUntil([] {
    NmeaHandleSentence("$SDDBS,12.3,f,3.75,M,2.05,F*3A");
    return PosState.fix.load() == 998;
  }, kWaitMs);
  // Refused attempts go on, one after each wait (the state is 1 only between them).
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  Off();
  int afterOff = poll.poll();
  bool ended = WaitUntil([] { return !NmeaTcpClientActive(); }, kWaitMs);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(waiting);
  EXPECT_TRUE(fix998);
  EXPECT_EQ(afterOff, 0);
  EXPECT_TRUE(ended);
  // One diagnostic line per refused attempt, with the line end puts adds.
  const std::string diag = "reconnecting...\n\n";
  int lines = 0;
  for (size_t at = out.find(diag); at != std::string::npos; at = out.find(diag, at + 1)) ++lines;
  EXPECT_GE(lines, 2) << out;
}

TEST_F(NmeaTcp, UnknownHostIsRetriedLikeARefusal) {
  NmeaTcpTiming.retryWaitMs = 1000;
  ASSERT_EQ(On(1, "no-such-host.invalid"), "0");
  Poller poll;
  EXPECT_TRUE(WaitUntil([&] { return poll.poll() == -1; }, kWaitMs));
}

TEST_F(NmeaTcp, SilentServerTimesOutAndReconnects) {
  NmeaTcpTiming.receiveTimeoutMs = 300;
  LineServer &s = Server();
  ASSERT_EQ(On(s.port()), "0");
  EXPECT_TRUE(s.clientClosed(1));
  EXPECT_GE(s.conn(2), 0);  // at once, without the wait of a failed connect
  EXPECT_EQ(NmeaTcpState(), 1);
}

// An unfinished line left by the time-out is delivered joined to the next connection's bytes.
TEST_F(NmeaTcp, UnfinishedLineJoinsTheNextConnection) {
  NmeaTcpTiming.receiveTimeoutMs = 300;
  LineServer &s = Server();
  ASSERT_EQ(On(s.port()), "0");
  ASSERT_GE(s.conn(1), 0);
  NmeaTcpTiming.receiveTimeoutMs = 60100;  // for the next connection
  const std::string m = kMsg1;
  ASSERT_TRUE(s.send(1, m.substr(0, 20)));
  ASSERT_TRUE(s.clientClosed(1));
  ASSERT_TRUE(s.send(2, m.substr(20) + "\r\n"));
  Poller poll;
  EXPECT_TRUE(poll.waitRow(kRow1));
}

// 499 bytes with CR LF pass; 500 end the connection, and the lines behind it in the
// buffer come first on the next one.
TEST_F(NmeaTcp, LineLimit) {
  LineServer &s = Server();
  ASSERT_EQ(On(s.port()), "0");
  std::string longest = kMsg1 + std::string(497 - std::strlen(kMsg1), ' ') + "\r\n";
  ASSERT_EQ(longest.size(), 499u);
  std::string tooLong = std::string(kMsg18) + std::string(498 - std::strlen(kMsg18), ' ') + "\r\n";
  ASSERT_EQ(tooLong.size(), 500u);
  ASSERT_TRUE(s.send(1, longest + tooLong + kMsg18 + "\r\n"));
  ASSERT_TRUE(s.clientClosed(1));
  Poller poll;
  ASSERT_TRUE(poll.waitRow(kRow18Head));
  EXPECT_TRUE(poll.has(kRow1));
  int rows18 = 0;
  for (const std::string &r : poll.rows) rows18 += r.rfind(kRow18Head, 0) == 0;
  EXPECT_EQ(rows18, 1);  // only the copy behind the long line
  EXPECT_GE(s.conn(2), 0);  // the client came back on a second connection
}

TEST_F(NmeaTcp, SecondOnRequestTakesOverAConnectedClient) {
  LineServer &a = Server();
  LineServer &b = Server();
  ASSERT_EQ(On(a.port()), "0");
  ASSERT_GE(a.conn(1), 0);
  ASSERT_EQ(On(b.port()), "0");
  EXPECT_TRUE(a.clientClosed(1));  // the blocked reader was woken and let go
  ASSERT_TRUE(b.send(1, std::string(kMsg18) + "\r\n"));
  Poller poll;
  EXPECT_TRUE(poll.waitRow(kRow18Head));
  EXPECT_EQ(a.accepted(), 1);
  EXPECT_EQ(NmeaTcpState(), 1);
}

// A client in its wait after a refused connect ends as soon as a new request replaces it;
// the wait here is far longer than the test may take.
TEST_F(NmeaTcp, SecondOnRequestTakesOverAWaitingClient) {
  NmeaTcpTiming.retryWaitMs = 600000;
  ASSERT_EQ(On(RefusedPort()), "0");
  Poller poll;
  ASSERT_TRUE(WaitUntil([&] { return poll.poll() == -1; }, kWaitMs));
  LineServer &s = Server();
  ASSERT_EQ(On(s.port()), "0");
  ASSERT_GE(s.conn(1), 0);
  EXPECT_EQ(poll.poll(), 1);
  ASSERT_TRUE(s.send(1, std::string(kMsg1) + "\r\n"));
  EXPECT_TRUE(poll.waitRow(kRow1));
}

TEST_F(NmeaTcp, ServerClosingLeadsToANewConnection) {
  LineServer &s = Server();
  ASSERT_EQ(On(s.port()), "0");
  ASSERT_GE(s.conn(1), 0);
  s.closeAll();
  EXPECT_GE(s.conn(2), 0);
  EXPECT_EQ(NmeaTcpState(), 1);
}

// A client hanging in a connect is woken by the take-over too; the connect here would
// otherwise go on for minutes.
TEST_F(NmeaTcp, SecondOnRequestTakesOverAConnectingClient) {
  HangingServer hanging;
  ASSERT_EQ(On(hanging.port()), "0");
  ASSERT_TRUE(WaitUntil([] { return NmeaTcpClientActive(); }, kWaitMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let it reach the connect
  EXPECT_EQ(NmeaTcpState(), 1);  // connecting counts as running
  LineServer &s = Server();
  ASSERT_EQ(On(s.port()), "0");
  ASSERT_GE(s.conn(1), 0);
  ASSERT_TRUE(s.send(1, std::string(kMsg1) + "\r\n"));
  Poller poll;
  EXPECT_TRUE(poll.waitRow(kRow1));
}

// On requests in quick succession while each client is starting or connecting: a thread of
// an earlier request that runs only late must not cut the current client's connection,
// and no client may be left holding the link.
TEST_F(NmeaTcp, RapidOnRequests) {
  HangingServer hanging;
  const std::string port = std::to_string(hanging.port());
  for (int i = 0; i < 1000; ++i) {
    char rest[64];
    std::snprintf(rest, sizeof rest, "127.0.0.1/%s/1", port.c_str());
    char *splitter = nullptr;
    char *host = strtok_r(rest, "/", &splitter);
    NmeaSockControl(host, &splitter);
    std::this_thread::sleep_for(std::chrono::microseconds(i % 50 * 10));
  }
  LineServer &s = Server();
  ASSERT_EQ(On(s.port()), "0");
  ASSERT_GE(s.conn(1), 0);
  ASSERT_TRUE(s.send(1, std::string(kMsg1) + "\r\n"));
  Poller poll;
  EXPECT_TRUE(poll.waitRow(kRow1));
  EXPECT_EQ(s.accepted(), 1);
}
