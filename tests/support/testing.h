// Test support: an isolated environment per test process, the server started on it, a
// wait for conditions, and a small HTTP/1.1 client over real loopback sockets.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace testing_support {

// Points HOME, the XDG folders and the buses at folders below root for everything the
// test process starts from here on: home/, data/, config/, cache/, state/ and runtime/,
// no session bus (GLib would start one and note it under ~/.dbus), no accessibility
// bus, settings in memory.
void IsolateHome(const std::string &root);

// A temporary folder with the home of IsolateHome and work/, the working directory.
class TestEnv {
 public:
  TestEnv();
  ~TestEnv();
  TestEnv(const TestEnv &) = delete;
  TestEnv &operator=(const TestEnv &) = delete;
  const std::string &root() const { return root_; }
  std::string dataFolder() const { return root_ + "/data/Marolin/"; }  // the program's data folder
  std::string workDir() const { return root_ + "/work"; }

 private:
  std::string root_;
  std::string oldCwd_;
};

// Fills the configuration as start-up does for this environment (folders, settings,
// server address and port), without starting anything.
void ConfigureTestServer(const TestEnv &env);

// ConfigureTestServer, then the database step, which starts the listener; returns once
// 127.0.0.2:9999 accepts connections.
void StartTestServer(const TestEnv &env);

// "/quit!", then waits until nothing accepts on 127.0.0.2:9999 any more and closes the
// databases as shutdown does. Nothing when no server runs.
void StopTestServer();

// One environment per test program; files a suite needs before the server starts go here.
const TestEnv &SharedTestEnv();
// The same environment with the server started on it at first use.
const TestEnv &SharedServerEnv();

// Polls cond every few milliseconds until it holds or timeoutMs has passed, asking once
// more at the deadline; whether it held.
bool WaitUntil(const std::function<bool()> &cond, int timeoutMs);

// The peak of the process's resident memory in kB since the last ResetPeakMemory.
long PeakMemoryKb();
void ResetPeakMemory();

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &data);

struct HttpResponse {
  std::string statusLine;                      // "HTTP/1.1 200 OK"
  std::string head;                            // the whole header block as sent
  std::map<std::string, std::string> headers;  // names as sent
  std::string body;
  std::string header(const std::string &name) const;
};

// One client connection to 127.0.0.2:9999 (or another loopback address and port).
class HttpConn {
 public:
  explicit HttpConn(const char *addr = "127.0.0.2", int port = 9999);
  ~HttpConn();
  HttpConn(const HttpConn &) = delete;
  HttpConn &operator=(const HttpConn &) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool sendRaw(const std::string &bytes);
  // Reads one response; nullopt when the connection closed or nothing came in time.
  std::optional<HttpResponse> read(int timeoutMs = 5000);
  // True when the server closes the connection (EOF) within the time, with no bytes.
  bool closedByPeer(int timeoutMs = 5000);
  std::optional<HttpResponse> get(const std::string &path);
  std::optional<HttpResponse> post(const std::string &path, const std::string &body);

 private:
  bool fill(int timeoutMs);
  int fd_ = -1;
  std::string pending_;
  bool eof_ = false;
};

// A TCP socket bound to a free port of 127.0.0.1 (SO_REUSEADDR on), listening with the
// given backlog; *port receives the port. -1 when it cannot listen.
int ListenLoopback(int backlog, int *port);
// A loopback port with nothing listening on it: connects are refused.
int RefusedLoopbackPort();
// For stand-in servers: reads from the connection until the blank line that ends a
// request head; false when it closes first or nothing comes for timeoutMs. *req holds
// what was read either way.
bool ReadRequestHead(int fd, int timeoutMs, std::string *req);

// One request on a fresh connection.
std::optional<HttpResponse> HttpGet(const std::string &path);
std::optional<HttpResponse> HttpPost(const std::string &path, const std::string &body);

}  // namespace testing_support
