// The listener when its address is taken or does not parse: it reports the failed bind,
// listens nowhere else, and restarts until the address is free; then it serves as usual.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "common/host_config.h"
#include "server/databases.h"
#include "tests/support/testing.h"

namespace {

using namespace testing_support;

int ListenOn(const char *addr, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Past connections may leave the port in TIME_WAIT; a listening socket still takes it.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, addr, &sa.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 5) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Standard output into a pipe until restored, so the test can wait for a diagnostic.
class StdoutPipe {
 public:
  StdoutPipe() {
    std::fflush(stdout);
    saved_ = dup(1);
    if (pipe(p_) == 0) dup2(p_[1], 1);
  }
  ~StdoutPipe() {
    restore();
    if (p_[0] >= 0) close(p_[0]);
  }
  bool waitFor(const std::string &text, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (seen_.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd pf{p_[0], POLLIN, 0};
      if (left.count() <= 0 || poll(&pf, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[256];
      ssize_t n = read(p_[0], buf, sizeof buf);
      if (n <= 0) return false;
      seen_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    if (p_[1] >= 0) close(p_[1]);
    p_[1] = -1;
  }

 private:
  int saved_ = -1;
  int p_[2] = {-1, -1};
  std::string seen_;
};

// "/hostversion/" from the first connect that the server takes, within a minute.
std::optional<HttpResponse> HostVersionOnceUp() {
  std::optional<HttpResponse> r;
  WaitUntil([&] {
    HttpConn c;
    if (c.ok()) r = c.get("/hostversion/");
    return r.has_value();
  }, 60000);
  return r;
}

TEST(Listener, TakenAddressRestartsUntilItIsFree) {
  TestEnv env;
  int blocker = ListenOn("127.0.0.2", 9999);
  ASSERT_GE(blocker, 0);
  ConfigureTestServer(env);
  {
    StdoutPipe out;
    OpenDatabases();
    ASSERT_TRUE(out.waitFor("ERROR on binding", 30000));
  }
  close(blocker);

  // A listener that failed to bind must not wait on some other address: its accept
  // fails and the restart binds again once the address is free.
  std::optional<HttpResponse> r = HostVersionOnceUp();
  ASSERT_TRUE(r) << "the server never came up on 127.0.0.2:9999";
  EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
  StopTestServer();
}

// A listening socket on port 9999 in /proc/net/tcp (state 0A), on whatever address.
bool AnyListenerOn9999() {
  return ReadFile("/proc/net/tcp").find(":270F 00000000:0000 0A") != std::string::npos;
}

TEST(Listener, AnAddressThatDoesNotParseIsAFailedBind) {
  // The data-folder lookup failed: no address was filled in.
  TestEnv env;
  ConfigureTestServer(env);
  HostConfig.ServerAddress[0] = 0;
  {
    StdoutPipe out;
    OpenDatabases();
    ASSERT_TRUE(out.waitFor("ERROR on binding", 30000));
  }
  EXPECT_FALSE(AnyListenerOn9999());
  // The restart takes the address as it then stands.
  std::strcpy(HostConfig.ServerAddress, "127.0.0.2");
  std::optional<HttpResponse> r = HostVersionOnceUp();
  ASSERT_TRUE(r);
  StopTestServer();
}

}  // namespace
