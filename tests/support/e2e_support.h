// End-to-end support for the window tests: an X server and a window manager of the
// test's own, the real program as a child process, an observer that receives the page's
// reports, and small X helpers over the standard command-line tools.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/testing.h"

extern char **environ;

namespace e2e {

namespace fs = std::filesystem;

using testing_support::WaitUntil;

// Generous limits for things that must happen; they only bound a failing test.
constexpr int kLong = 30000;

// Runs a shell command; returns its standard output.
inline std::string Capture(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

inline std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// A child process with its output in a file; killed when the object goes.
class Process {
 public:
  // Descriptors without close-on-exec are inherited. Standard error goes to errFile when
  // one is given, else with standard output.
  Process(const std::vector<std::string> &argv, const std::string &outFile, const std::string &errFile = "") {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (errFile.empty())
      posix_spawn_file_actions_adddup2(&fa, 1, 2);
    else
      posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Process() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      int st;
      waitpid(pid_, &st, 0);
    }
  }
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  pid_t pid() const { return pid_; }
  bool running() {
    poll();
    return pid_ > 0 && !status_;
  }
  // The wait status once the process has ended within timeoutMs.
  std::optional<int> wait(int timeoutMs = kLong) {
    WaitUntil([&] { return !running(); }, timeoutMs);
    return status_;
  }
  void signal(int sig) {
    if (running()) kill(pid_, sig);
  }

 private:
  void poll() {
    if (pid_ <= 0 || status_) return;
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) status_ = st;
  }
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Xvfb on a display number it chooses itself (-displayfd), set as DISPLAY for the test
// and every child; openbox as window manager when asked for. Both keep to the home of
// logDir (IsolateHome), as everything else the test starts.
class XSession {
 public:
  explicit XSession(const std::string &logDir, bool windowManager = true) {
    testing_support::IsolateHome(logDir);
    int fds[2];
    if (pipe(fds) != 0) return;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    xvfb_ = std::make_unique<Process>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x800x24",
                                 "-nolisten", "tcp", "-noreset"},
        logDir + "/xvfb.log");
    close(fds[1]);
    std::string number;
    char c;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, kLong) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return;
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    if (windowManager) {
      wm_ = std::make_unique<Process>(std::vector<std::string>{"openbox", "--sm-disable"}, logDir + "/openbox.log");
      WaitUntil([] { return Capture("xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null").find("window id") !=
                            std::string::npos; },
                kLong);
    }
  }
  ~XSession() {
    wm_.reset();
    xvfb_.reset();
  }
  bool ok() const { return !display_.empty(); }
  const std::string &display() const { return display_; }

 private:
  std::unique_ptr<Process> xvfb_, wm_;
  std::string display_;
};

// One report of the page: its kind (the request path) and its JSON body.
struct Report {
  std::string kind;
  std::string body;
};

// Receives the page's reports on 127.0.0.1 (a port of its own): POST /<kind> with a JSON
// body. The page's requests travel on several connections and arrive in any order;
// numbered by script() they are kept in the order the page sent them. Reports of kind
// "close" can be held unanswered, which keeps the page inside its close script, until
// release().
class Reporter {
 public:
  Reporter() {
    fd_ = testing_support::ListenLoopback(16, &port_);
    if (pipe2(stop_, O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
    accept_ = std::thread([this] { AcceptLoop(); });
  }
  ~Reporter() {
    {
      std::lock_guard<std::mutex> lk(m_);
      released_ = true;
      cv_.notify_all();
    }
    if (write(stop_[1], "x", 1) < 0) {
    }
    accept_.join();
    for (auto &t : conns_) t.join();
    close(fd_);
    close(stop_[0]);
    close(stop_[1]);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  // The page's report.js: where its reports go, and each request to there numbered, per
  // page load, in the order the page makes it.
  std::string script() const {
    return "window.DemoReport = '" + url() +
           "';\n"
           "(function () {\n"
           "  var load = Math.random().toString(36).slice(2), n = 0, open = XMLHttpRequest.prototype.open;\n"
           "  XMLHttpRequest.prototype.open = function (method, url) {\n"
           "    var a = Array.prototype.slice.call(arguments);\n"
           "    if (String(url).indexOf(window.DemoReport) === 0) a[1] = url + '?load=' + load + '&n=' + ++n;\n"
           "    return open.apply(this, a);\n"
           "  };\n"
           "})();\n";
  }

  void holdClose() {
    std::lock_guard<std::mutex> lk(m_);
    hold_ = true;
  }
  void release() {
    std::lock_guard<std::mutex> lk(m_);
    released_ = true;
    cv_.notify_all();
  }

  size_t count() {
    std::lock_guard<std::mutex> lk(m_);
    return reports_.size();
  }
  std::vector<Report> all() {
    std::lock_guard<std::mutex> lk(m_);
    return reports_;
  }
  // The first report at index *from or later of that kind for which match holds; *from
  // moves past it.
  std::optional<Report> waitFor(const std::string &kind, size_t *from = nullptr,
                                const std::function<bool(const Report &)> &match = nullptr, int timeoutMs = kLong) {
    size_t start = from ? *from : 0;
    std::unique_lock<std::mutex> lk(m_);
    std::optional<Report> found;
    cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
      for (size_t i = start; i < reports_.size(); ++i) {
        if (reports_[i].kind == kind && (!match || match(reports_[i]))) {
          found = reports_[i];
          if (from) *from = i + 1;
          return true;
        }
      }
      return false;
    });
    return found;
  }

 private:
  void AcceptLoop() {
    for (;;) {
      pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) continue;
      if (p[1].revents) return;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) conns_.emplace_back([this, c] { Serve(c); });
    }
  }
  void Serve(int c) {
    std::string in;
    for (;;) {
      size_t end;
      while ((end = in.find("\r\n\r\n")) == std::string::npos)
        if (!Fill(c, in)) return (void)close(c);
      std::string head = in.substr(0, end);
      size_t len = 0;
      std::smatch m;
      if (std::regex_search(head, m, std::regex("[Cc]ontent-[Ll]ength: *([0-9]+)"))) len = std::stoul(m[1]);
      while (in.size() < end + 4 + len)
        if (!Fill(c, in)) return (void)close(c);
      std::string body = in.substr(end + 4, len);
      in.erase(0, end + 4 + len);
      std::string method = head.substr(0, head.find(' '));
      std::string path = head.substr(head.find(' ') + 1);
      path = path.substr(0, path.find(' '));
      std::smatch number;
      const bool numbered = std::regex_search(path, number, std::regex("\\?load=([a-z0-9]+)&n=([0-9]+)$"));
      const std::string query = numbered ? number.str(0) : "", load = numbered ? number.str(1) : "";
      const long n = numbered ? std::stol(number.str(2)) : 0;
      path.resize(path.size() - query.size());
      std::string kind = path.size() > 1 ? path.substr(1) : "";
      if (method == "POST" || method == "GET") {
        // A GET is a navigation to the observer: seen as "GET <path>", answered with
        // content no browser shows, so the page stays where it was.
        std::unique_lock<std::mutex> lk(m_);
        Add(method == "POST" ? Report{kind, body} : Report{"GET " + kind, ""}, load, n);
        cv_.notify_all();
        if (method == "POST" && kind == "close" && hold_) cv_.wait(lk, [&] { return released_; });
      }
      std::string reply =
          "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: POST, GET\r\n"
          "Access-Control-Allow-Headers: Content-Type\r\n" +
          std::string(method == "GET" ? "Content-Type: application/octet-stream\r\n" : "") + "Content-Length: 0\r\n\r\n";
      if (send(c, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) return (void)close(c);
    }
  }
  // Under m_: a numbered report waits for those its page sent before it.
  void Add(Report r, const std::string &load, long n) {
    if (load.empty()) return reports_.push_back(std::move(r));
    Page &page = pages_[load];
    page.early[n] = std::move(r);
    for (auto it = page.early.find(page.next); it != page.early.end(); it = page.early.find(++page.next)) {
      reports_.push_back(std::move(it->second));
      page.early.erase(it);
    }
  }
  bool Fill(int c, std::string &in) {
    pollfd p[2] = {{c, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) <= 0 || p[1].revents) return false;
    char buf[8192];
    ssize_t n = recv(c, buf, sizeof buf, 0);
    if (n <= 0) return false;
    in.append(buf, static_cast<size_t>(n));
    return true;
  }
  int fd_ = -1, port_ = 0;
  int stop_[2] = {-1, -1};
  std::thread accept_;
  std::vector<std::thread> conns_;  // touched by the accept thread only until the join
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Report> reports_;
  struct Page {
    long next = 1;
    std::map<long, Report> early;
  };
  std::map<std::string, Page> pages_;
  bool hold_ = false, released_ = false;
};

// Values of the flat JSON bodies the page sends.
inline std::string JsonText(const std::string &body, const std::string &name) {
  std::smatch m;
  if (!std::regex_search(body, m, std::regex("\"" + name + "\":\"((?:[^\"\\\\]|\\\\.)*)\""))) return "";
  std::string s = m[1], out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char e = s[++i];
      out += e == 'n' ? '\n' : e;
    } else {
      out += s[i];
    }
  }
  return out;
}
inline std::string JsonLiteral(const std::string &body, const std::string &name) {
  std::smatch m;
  return std::regex_search(body, m, std::regex("\"" + name + "\":([-0-9a-z.]+)")) ? std::string(m[1]) : "";
}
struct Point {
  int x = 0, y = 0;
};
inline Point JsonPoint(const std::string &body, const std::string &name) {
  std::smatch m;
  if (!std::regex_search(body, m, std::regex("\"" + name + "\":\\[(-?[0-9]+),(-?[0-9]+)\\]"))) return {};
  return {std::stoi(m[1]), std::stoi(m[2])};
}

// The program's window and what the window manager and X say about it.
struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Geometry &o) const {
    return x == o.x && y == o.y && width == o.width && height == o.height;
  }
};

inline std::string FindWindow(const std::string &title = "^Marolin$") {
  // xdotool gives up at once when a window it is looking at goes away meanwhile (the
  // previous test's window, say): search again a few times before taking no for an answer.
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::string id = Capture("timeout 30 xdotool search --sync --onlyvisible --name " + Quote(title) + " 2>/dev/null");
    if (!id.empty()) return id.substr(0, id.find('\n'));
  }
  return "";
}

inline Geometry WindowGeometry(const std::string &id) {
  std::string info = Capture("xwininfo -id " + id + " 2>/dev/null");
  auto num = [&](const char *label) {
    size_t p = info.find(label);
    return p == std::string::npos ? -1 : std::atoi(info.c_str() + p + std::strlen(label));
  };
  return {num("Absolute upper-left X:"), num("Absolute upper-left Y:"), num("Width:"), num("Height:")};
}

inline std::string WindowProperty(const std::string &id, const std::string &name) {
  return Capture("xprop -id " + id + " " + name + " 2>/dev/null");
}

inline void Xdo(const std::string &args) { Capture("xdotool " + args + " >/dev/null 2>&1"); }

// Clicks the page at a point of the window's client area.
inline void ClickAt(const std::string &id, Point p, int button = 1) {
  Geometry g = WindowGeometry(id);
  Xdo("mousemove --sync " + std::to_string(g.x + p.x) + " " + std::to_string(g.y + p.y) + " click " +
      std::to_string(button));
}

// Presses the button at a, moves to b and lets go (a selection or a drag).
inline void DragFromTo(const std::string &id, Point a, Point b) {
  Geometry g = WindowGeometry(id);
  auto at = [&](Point p) { return std::to_string(g.x + p.x) + " " + std::to_string(g.y + p.y); };
  Xdo("mousemove --sync " + at(a) + " mousedown 1");
  for (int i = 1; i <= 4; ++i) {
    Point s{a.x + (b.x - a.x) * i / 4, a.y + (b.y - a.y) * i / 4};
    Xdo("mousemove --sync " + at(s));
  }
  Xdo("mouseup 1");
}

// A desktop handler for web and mail addresses under the test's XDG folders that writes
// every address it is started with, one per line, into the returned file.
inline std::string InstallOpener(const std::string &root) {
  const std::string data = std::getenv("XDG_DATA_HOME"), config = std::getenv("XDG_CONFIG_HOME");
  const std::string log = root + "/opened.txt", script = root + "/opener.sh";
  testing_support::WriteFile(script, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " + Quote(log) + "\n");
  fs::permissions(script, fs::perms::owner_all);
  testing_support::WriteFile(data + "/applications/marolin-test-opener.desktop",
                             "[Desktop Entry]\nType=Application\nName=Test opener\nExec=" + script +
                                 " %u\nNoDisplay=true\nMimeType=x-scheme-handler/http;x-scheme-handler/https;"
                                 "x-scheme-handler/mailto;\n");
  testing_support::WriteFile(config + "/mimeapps.list",
                             "[Default Applications]\nx-scheme-handler/http=marolin-test-opener.desktop\n"
                             "x-scheme-handler/https=marolin-test-opener.desktop\n"
                             "x-scheme-handler/mailto=marolin-test-opener.desktop\n");
  return log;
}

// One text column of a database file, read after the program has ended; "<none>"
// without a row.
inline std::string DbValue(const std::string &file, const std::string &sql) {
  sqlite3 *db = nullptr;
  std::string out = "<none>";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
        sqlite3_column_text(st, 0))
      out = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

// The colour of one pixel of the screen, as ImageMagick names it ("srgb(16,40,74)").
// ImageMagick itself runs in the C locale: under a Turkish one it does not know "info:".
inline std::string ScreenPixel(const std::string &shot, int x, int y) {
  Capture("LC_ALL=C import -window root " + Quote(shot));
  return Capture("LC_ALL=C convert " + Quote(shot) + " -format '%[pixel:p{" + std::to_string(x) + "," +
                 std::to_string(y) + "}]' info:");
}

// The demo page is on screen in the window: its tool bar's colour at the top left. Only
// from its first frame on does the view take input: a wheel notch before it is lost.
inline ::testing::AssertionResult DemoPageShown(const std::string &root, const std::string &win) {
  const Geometry g = WindowGeometry(win);
  std::string pixel;
  if (WaitUntil([&] {
        pixel = ScreenPixel(root + "/shot.png", g.x + 4, g.y + 4);
        return pixel == "srgb(16,40,74)";
      }, kLong))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pixel " << pixel;
}

inline std::string ProgramPath() { return std::string(MAROLIN_BINARY_DIR) + "/marolin"; }

}  // namespace e2e
