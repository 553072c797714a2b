// Test support: isolated environment, server start and stop, waits and a loopback HTTP client.
#include "tests/support/testing.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/host_config.h"
#include "server/databases.h"

namespace fs = std::filesystem;

namespace testing_support {

void IsolateHome(const std::string &root) {
  const struct {
    const char *name, *folder;
  } kFolders[] = {{"HOME", "/home"},          {"XDG_DATA_HOME", "/data"},   {"XDG_CONFIG_HOME", "/config"},
                  {"XDG_CACHE_HOME", "/cache"}, {"XDG_STATE_HOME", "/state"}, {"XDG_RUNTIME_DIR", "/runtime"}};
  for (const auto &f : kFolders) {
    fs::create_directories(root + f.folder);
    setenv(f.name, (root + f.folder).c_str(), 1);
  }
  fs::permissions(root + "/runtime", fs::perms::owner_all);
  setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + root + "/runtime/no-bus").c_str(), 1);
  setenv("NO_AT_BRIDGE", "1", 1);
  setenv("GSETTINGS_BACKEND", "memory", 1);
}

TestEnv::TestEnv() {
  char tmpl[] = "/tmp/marolin-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
  IsolateHome(root_);
  fs::create_directories(root_ + "/work");
  oldCwd_ = fs::current_path().string();
  fs::current_path(root_ + "/work");
}

TestEnv::~TestEnv() {
  std::error_code ec;
  fs::current_path(oldCwd_, ec);
  if (!std::getenv("MAROLIN_KEEP_TEST_DIRS")) fs::remove_all(root_, ec);
}

void ConfigureTestServer(const TestEnv &env) {
  fs::create_directories(env.dataFolder());
  std::string folder = env.dataFolder();
  std::snprintf(HostConfig.TripFolder, sizeof HostConfig.TripFolder, "%s", folder.c_str());
  std::snprintf(HostConfig.PackageFolder, sizeof HostConfig.PackageFolder, "%s", folder.c_str());
  std::snprintf(HostConfig.WebRoot, sizeof HostConfig.WebRoot, "%s", folder.c_str());
  {
    std::lock_guard<std::mutex> lk(HostConfig.SettingsLock);
    std::strcpy(HostConfig.alang, "en");
    std::strcpy(HostConfig.mlang, "de");
    std::strcpy(HostConfig.skin, "Navy Blue");
  }
  std::strcpy(HostConfig.ServerAddress, "127.0.0.2");
  HostConfig.ServerPort = 9999;
}

void StartTestServer(const TestEnv &env) {
  ConfigureTestServer(env);
  OpenDatabases();
  if (!WaitUntil([] { return HttpConn().ok() && HostConfig.ServerRunning; }, 10000))
    throw std::runtime_error("server did not start on 127.0.0.2:9999");
}

void StopTestServer() {
  if (!HostConfig.ServerRunning) return;
  {
    HttpConn q;
    q.sendRaw("GET /quit! HTTP/1.1\r\nHost: 127.0.0.2:9999\r\n\r\n");
    EXPECT_TRUE(q.closedByPeer());
  }
  // The listener takes one more connection before it ends.
  WaitUntil([] { return !HttpConn().ok(); }, 5000);
  CloseDatabases();
}

const TestEnv &SharedTestEnv() {
  static TestEnv env;
  return env;
}

const TestEnv &SharedServerEnv() {
  static bool started = (StartTestServer(SharedTestEnv()), true);
  (void)started;
  return SharedTestEnv();
}

bool WaitUntil(const std::function<bool()> &cond, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(10), deadline - now));
  }
  return cond();
}

long PeakMemoryKb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void WriteFile(const std::string &path, const std::string &data) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
}

std::string HttpResponse::header(const std::string &name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

HttpConn::HttpConn(const char *addr, int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, addr, &sa.sin_addr);
  if (connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

HttpConn::~HttpConn() {
  if (fd_ >= 0) close(fd_);
}

bool HttpConn::sendRaw(const std::string &bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool HttpConn::fill(int timeoutMs) {
  if (eof_ || fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  char buf[65536];
  ssize_t n = recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) {
    eof_ = true;
    return false;
  }
  pending_.append(buf, static_cast<size_t>(n));
  return true;
}

std::optional<HttpResponse> HttpConn::read(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto left = [&] {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return static_cast<int>(ms < 0 ? 0 : ms);
  };
  size_t end;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos)
    if (!fill(left())) return std::nullopt;
  HttpResponse r;
  r.head = pending_.substr(0, end + 4);
  std::istringstream hs(pending_.substr(0, end));
  std::getline(hs, r.statusLine);
  if (!r.statusLine.empty() && r.statusLine.back() == '\r') r.statusLine.pop_back();
  std::string line;
  while (std::getline(hs, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string v = line.substr(colon + 1);
    if (!v.empty() && v[0] == ' ') v.erase(0, 1);
    r.headers[line.substr(0, colon)] = v;
  }
  size_t len = std::strtoul(r.header("Content-Length").c_str(), nullptr, 10);
  while (pending_.size() < end + 4 + len)
    if (!fill(left())) return std::nullopt;
  r.body = pending_.substr(end + 4, len);
  pending_.erase(0, end + 4 + len);
  return r;
}

bool HttpConn::closedByPeer(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!eof_) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (ms <= 0) return false;
    if (!fill(static_cast<int>(ms)) && !eof_) return false;
  }
  return pending_.empty();
}

std::optional<HttpResponse> HttpConn::get(const std::string &path) {
  if (!sendRaw("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.2:9999\r\n\r\n")) return std::nullopt;
  return read();
}

std::optional<HttpResponse> HttpConn::post(const std::string &path, const std::string &body) {
  if (!sendRaw("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.2:9999\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body))
    return std::nullopt;
  return read();
}

int ListenLoopback(int backlog, int *port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

int RefusedLoopbackPort() {
  int port = 0;
  int fd = ListenLoopback(1, &port);
  close(fd);
  return port;
}

bool ReadRequestHead(int fd, int timeoutMs, std::string *req) {
  char buf[4096];
  while (req->find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    req->append(buf, static_cast<size_t>(n));
  }
  return true;
}

std::optional<HttpResponse> HttpGet(const std::string &path) {
  HttpConn c;
  return c.get(path);
}

std::optional<HttpResponse> HttpPost(const std::string &path, const std::string &body) {
  HttpConn c;
  return c.post(path, body);
}

}  // namespace testing_support
