// The demo's NMEA-over-TCP source: the log's own pace, forward then back along the track.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/testing.h"

extern char **environ;

using namespace testing_support;

namespace {

const std::string kTool = std::string(MAROLIN_BINARY_DIR) + "/tools/nmea_replay";
const std::string kLog = std::string(MAROLIN_TESTDATA_DIR) + "/nmea/bundg_zeus_9.log";

std::vector<std::string> Split(const std::string &s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == sep) out.emplace_back();
    else out.back() += c;
  }
  return out;
}

bool Is(const std::string &line, const char *id) { return line.size() > 6 && line.compare(3, 3, id) == 0; }

double Seconds(const std::string &hhmmss) {
  return std::stoi(hhmmss.substr(0, 2)) * 3600.0 + std::stoi(hhmmss.substr(2, 2)) * 60.0 + std::stod(hhmmss.substr(4));
}

double Degrees(const std::string &f, const std::string &hemi) {
  size_t dot = f.find('.');
  double v = std::stod(f.substr(0, dot - 2)) + std::stod(f.substr(dot - 2)) / 60.0;
  return hemi == "S" || hemi == "W" ? -v : v;
}

double Metres(double lat1, double lon1, double lat2, double lon2) {
  const double r = M_PI / 180;
  double dy = (lat2 - lat1) * r, dx = (lon2 - lon1) * r * std::cos((lat1 + lat2) / 2 * r);
  return std::hypot(dx, dy) * 6371000.0;
}

struct Sent {
  long ms;
  std::string line;
};

std::vector<Sent> Schedule(int count, const std::string &speedup) {
  std::string cmd = kTool + " " + kLog + " --schedule " + std::to_string(count) + " " + speedup;
  std::vector<Sent> out;
  FILE *p = popen(cmd.c_str(), "r");
  char buf[512];
  while (p && std::fgets(buf, sizeof buf, p)) {
    std::string l = buf;
    size_t sp = l.find(' ');
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    out.push_back({std::stol(l.substr(0, sp)), l.substr(sp + 1)});
  }
  if (p) pclose(p);
  return out;
}

// The RMC sentences of the log in order.
std::vector<std::string> LogRmc() {
  std::vector<std::string> out;
  std::istringstream in(ReadFile(kLog));
  std::string l;
  while (std::getline(in, l)) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    if (Is(l, "RMC")) out.push_back(l);
  }
  return out;
}

TEST(NmeaReplay, PaceAndOrderFollowTheLogForwardThenBack) {
  std::vector<std::string> log = LogRmc();
  ASSERT_GT(log.size(), 100u);
  const double first = Seconds(Split(log.front(), ',')[1]), last = Seconds(Split(log.back(), ',')[1]);
  std::vector<Sent> sent = Schedule(15000, "4");  // about two and a half legs
  ASSERT_EQ(sent.size(), 15000u);

  std::vector<Sent> rmc, fixes;
  double lat = NAN, lon = NAN, maxStep = 0;
  for (const Sent &s : sent) {
    if (!Is(s.line, "RMC") && !Is(s.line, "GGA")) continue;
    auto f = Split(s.line, ',');
    bool isRmc = Is(s.line, "RMC");
    double la = Degrees(f[isRmc ? 3 : 2], f[isRmc ? 4 : 3]), lo = Degrees(f[isRmc ? 5 : 4], f[isRmc ? 6 : 5]);
    if (!std::isnan(lat)) maxStep = std::max(maxStep, Metres(lat, lon, la, lo));
    lat = la, lon = lo;
    fixes.push_back(s);
    if (isRmc) rmc.push_back(s);
  }
  // No jump anywhere, the turn-arounds included.
  EXPECT_LT(maxStep, 300.0);

  // Spacing: a quarter of the log's own time between fixes (speed-up 4).
  for (size_t i = 1; i < fixes.size(); ++i) {
    double dt = std::fabs(Seconds(Split(fixes[i].line, ',')[1]) - Seconds(Split(fixes[i - 1].line, ',')[1]));
    EXPECT_NEAR(fixes[i].ms - fixes[i - 1].ms, dt * 1000 / 4, 1.0) << fixes[i].line;
  }

  // Order: the log's fixes forward, then back (its last one once) with the course turned
  // round, then forward again.
  ASSERT_GT(rmc.size(), 2 * log.size());
  for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(rmc[i].line, log[i]) << i;
  size_t turn = log.size();
  double prev = last;
  for (; turn < rmc.size() && std::find(log.begin(), log.end(), rmc[turn].line) == log.end(); ++turn) {
    auto f = Split(rmc[turn].line, ',');
    double t = Seconds(f[1]);
    EXPECT_LE(t, prev) << rmc[turn].line;
    prev = t;
    bool sentForward = false;
    for (const std::string &fwd : log) {
      auto g = Split(fwd, ',');
      if (g[1] != f[1] || g[3] != f[3] || g[5] != f[5]) continue;
      sentForward = true;
      EXPECT_NEAR(std::fmod(std::stod(g[8]) + 180, 360), std::stod(f[8]), 0.05) << rmc[turn].line;
    }
    EXPECT_TRUE(sentForward) << rmc[turn].line;
  }
  EXPECT_EQ(prev, first);
  EXPECT_GE(turn - log.size(), log.size() - 2);
  ASSERT_LT(turn + 10, rmc.size());
  for (size_t k = 0; k < 10; ++k) EXPECT_EQ(rmc[turn + k].line, log[k]) << k;
  // One leg takes the log's own duration, sped up four times.
  EXPECT_NEAR(rmc[turn - 1].ms - rmc[log.size() - 1].ms, (last - first) * 1000 / 4, 1.0);
}

TEST(NmeaReplay, ServesTheScheduleOverTcp) {
  int port = RefusedLoopbackPort();
  std::string portText = std::to_string(port);
  std::vector<char *> argv = {const_cast<char *>(kTool.c_str()), const_cast<char *>(kLog.c_str()),
                              portText.data(), const_cast<char *>("1000"), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, kTool.c_str(), nullptr, nullptr, argv.data(), environ), 0);

  std::vector<Sent> expected = Schedule(12000, "1000");
  std::string want;
  for (const Sent &s : expected) want += s.line + "\r\n";

  int fd = -1;
  WaitUntil([&] {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return true;
    close(fd);
    fd = -1;
    return false;
  }, 5000);
  ASSERT_GE(fd, 0);
  std::string got;
  char buf[8192];
  while (got.size() < want.size()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  ASSERT_GE(got.size(), want.size());
  EXPECT_TRUE(got.compare(0, want.size(), want) == 0);
}

TEST(NmeaReplay, RefusesBadArguments) {
  for (const char *args : {"", " 10110 0", " 10110 -2", " 10110 x", " --schedule"}) {
    std::string cmd = kTool + " " + kLog + args + " >/dev/null 2>&1";
    int rc = std::system(cmd.c_str());
    EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 2) << args;
  }
}

}  // namespace
