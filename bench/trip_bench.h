// For the benchmarks on the trip database: the database as earlier versions left it, a
// socket that takes the answers, and a median of timed calls.
#pragma once

#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/db.h"
#include "common/sockbuf.h"

namespace bench {

constexpr int64_t kFirstPoint = 1700000000;

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// A new folder under argv[1] (default: the temporary folder) named prefix-XXXXXX; ends the
// process when it cannot be made.
inline std::string NewFolder(int argc, char **argv, const char *prefix) {
  std::string base = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
  std::string root = (std::filesystem::path(base) / (std::string(prefix) + "-XXXXXX")).string();
  if (!mkdtemp(root.data())) {
    std::fprintf(stderr, "cannot make a folder under %s\n", base.c_str());
    std::exit(1);
  }
  return root;
}

inline bool Exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// The five schema statements only: a track of one point every 2 s, a playback marker
// halfway and now and then a clock step back (two points of one second); key/value rows
// mostly valid in every language. Makes the file at path anew; *lastTs receives the newest point's time.
inline bool BuildTrip(const std::string &path, int points, int kvtRows, int64_t *lastTs) {
  static const char *const kFiveStatements[] = {
      "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT) ",
      "CREATE INDEX i_kv_lk ON kvt(l,k) ",
      "CREATE TABLE log (id INTEGER PRIMARY KEY AUTOINCREMENT, ts INTEGER, x DOUBLE, y DOUBLE,t INTEGER,v TEXT) ",
      "CREATE INDEX i_log_ts ON log(ts) ",
      "CREATE INDEX i_log_t ON log(t) ",
  };
  std::filesystem::remove(path);
  sqlite3 *db = nullptr;
  bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
  for (const char *sql : kFiveStatements) ok = ok && Exec(db, sql);
  ok = ok && Exec(db, "BEGIN");
  {
    Stmt s(db, "INSERT INTO log (ts,x,y,t,v) VALUES (?,?,?,?,?)");
    int64_t ts = kFirstPoint;
    char tag[32];
    for (int i = 0; ok && i < points; ++i) {
      bool marker = i == points / 2;
      if (i % 50000 != 49999) ts += 2;
      std::snprintf(tag, sizeof tag, "gt=%x dk=%.1f", static_cast<unsigned>(ts), (i % 200) / 10.0);
      sqlite3_bind_int64(s, 1, ts);
      sqlite3_bind_double(s, 2, marker ? 999 : 10.0 + (i % 100000) * 1e-5);
      sqlite3_bind_double(s, 3, marker ? 999 : 54.0 + (i % 70000) * 1.3e-5);
      sqlite3_bind_int(s, 4, marker ? 2 : 1);
      sqlite3_bind_text(s, 5, marker ? "NMEA playback starts" : tag, -1, SQLITE_TRANSIENT);
      ok = sqlite3_step(s) == SQLITE_DONE && sqlite3_reset(s) == SQLITE_OK;
    }
    if (lastTs) *lastTs = ts;
  }
  {
    Stmt s(db, "INSERT INTO kvt VALUES (?,?,?,?)");
    const std::string value(100, 'v');
    char key[32];
    for (int i = 0; ok && i < kvtRows; ++i) {
      std::snprintf(key, sizeof key, "key%06d", i);
      sqlite3_bind_text(s, 1, key, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 2, value.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(s, 3, i % 2 ? 9 : 10);
      sqlite3_bind_text(s, 4, i % 1000 == 7 ? "de" : "**", -1, SQLITE_STATIC);
      ok = sqlite3_step(s) == SQLITE_DONE && sqlite3_reset(s) == SQLITE_OK;
    }
  }
  ok = ok && Exec(db, "INSERT INTO kvt VALUES ('settings','{}',10,'**')") && Exec(db, "COMMIT");
  sqlite3_close(db);
  return ok;
}

// The answers go to a socket whose other end is read and thrown away, as a browser would.
class Sink {
 public:
  Sink() {
    SockBufInit(w);
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) std::exit(1);
    w.sock = fds_[0];
    reader_ = std::thread([fd = fds_[1]] {
      std::vector<char> buf(1 << 20);
      while (read(fd, buf.data(), buf.size()) > 0) {
      }
    });
  }
  ~Sink() {
    shutdown(fds_[0], SHUT_RDWR);
    reader_.join();
    close(fds_[0]);
    close(fds_[1]);
    w.sock = -1;
  }
  SockBuf w;

 private:
  int fds_[2] = {-1, -1};
  std::thread reader_;
};

// Median seconds of at least minRuns calls, more while the budget lasts (at most maxRuns).
inline double Median(const std::function<void()> &call, int minRuns, int maxRuns, double budget) {
  std::vector<double> t;
  auto start = Clock::now();
  while (static_cast<int>(t.size()) < maxRuns &&
         (static_cast<int>(t.size()) < minRuns || Seconds(start, Clock::now()) < budget)) {
    auto a = Clock::now();
    call();
    t.push_back(Seconds(a, Clock::now()));
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace bench
