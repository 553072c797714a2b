// Loaded into the real program (LD_PRELOAD) by bench/passage_soak.sh, as a debugger here
// cannot call into it from outside: every MAROLIN_PROBE_SECONDS (default 60) it appends one
// line to the file MAROLIN_PROBE_FILE: seconds since start, resident and anonymous memory
// (kB), malloc's bytes in use and free in its heaps, SQLite's memory in use and the part of
// it that page caches hold (bytes); and one to MAROLIN_PROBE_FILE.connections: seconds and
// the page cache of each open connection, as FILE:BYTES. It sees the connections by taking
// the program's calls to open and close them.
#include <dlfcn.h>
#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

// The open connections by their file's name. Closes hold the lock, so a sample never meets
// a connection being closed; never destroyed, as threads may close connections at exit.
std::mutex &connectionLock = *new std::mutex;
std::map<sqlite3 *, std::string> &connections = *new std::map<sqlite3 *, std::string>;

template <typename F>
F Next(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// What one of the library's counts holds over all open connections. The library's own
// process-wide statistics are off in the program (they take a lock on every allocation);
// the per-connection counts are kept regardless.
long long ConnectionsHold(std::initializer_list<int> counts) {
  std::lock_guard<std::mutex> lk(connectionLock);
  long long total = 0;
  for (const auto &entry : connections)
    for (int op : counts) {
      int now = 0, peak = 0;
      if (sqlite3_db_status(entry.first, op, &now, &peak, 0) == SQLITE_OK) total += now;
    }
  return total;
}

// SQLite's memory: page caches, schemas and prepared statements of every connection.
long long SqliteTotal() {
  return ConnectionsHold({SQLITE_DBSTATUS_CACHE_USED, SQLITE_DBSTATUS_SCHEMA_USED, SQLITE_DBSTATUS_STMT_USED});
}

long long PageCaches() { return ConnectionsHold({SQLITE_DBSTATUS_CACHE_USED}); }

long StatusKb(const char *field) {
  FILE *f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long v = -1;
  size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, field, n) == 0) v = std::atol(line + n);
  std::fclose(f);
  return v;
}

void WriteConnections(FILE *f) {
  std::lock_guard<std::mutex> lk(connectionLock);
  for (const auto &[db, name] : connections) {
    int now = 0, peak = 0;
    if (sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_USED, &now, &peak, 0) == SQLITE_OK)
      std::fprintf(f, " %s:%d", name.c_str(), now);
  }
}

void Probe(std::string path, int seconds) {
  auto start = std::chrono::steady_clock::now();
  for (long i = 1;; ++i) {
    std::this_thread::sleep_until(start + std::chrono::seconds(i * seconds));
    struct mallinfo2 m = mallinfo2();
    FILE *f = std::fopen(path.c_str(), "a");
    if (!f) return;
    std::fprintf(f, "%ld %ld %ld %zu %zu %lld %lld\n", i * seconds, StatusKb("VmRSS:"), StatusKb("RssAnon:"),
                 m.uordblks + m.hblkhd, m.fordblks, SqliteTotal(), PageCaches());
    std::fclose(f);
    if ((f = std::fopen((path + ".connections").c_str(), "a"))) {
      std::fprintf(f, "%ld", i * seconds);
      WriteConnections(f);
      std::fputc('\n', f);
      std::fclose(f);
    }
  }
}

__attribute__((constructor)) void StartProbe() {
  const char *path = std::getenv("MAROLIN_PROBE_FILE");
  if (!path || !*path) return;
  const char *s = std::getenv("MAROLIN_PROBE_SECONDS");
  int seconds = s ? std::atoi(s) : 60;
  std::thread(Probe, std::string(path), seconds > 0 ? seconds : 60).detach();
  // The program's own processes (the web views) start without the probe.
  unsetenv("MAROLIN_PROBE_FILE");
  unsetenv("LD_PRELOAD");
}

}  // namespace

extern "C" int sqlite3_open_v2(const char *name, sqlite3 **db, int flags, const char *vfs) {
  static auto open = Next<int (*)(const char *, sqlite3 **, int, const char *)>("sqlite3_open_v2");
  int rc = open(name, db, flags, vfs);
  if (*db) {
    const char *slash = name ? std::strrchr(name, '/') : nullptr;
    std::lock_guard<std::mutex> lk(connectionLock);
    connections[*db] = slash ? slash + 1 : name ? name : "";
  }
  return rc;
}

extern "C" int sqlite3_close(sqlite3 *db) {
  static auto close = Next<int (*)(sqlite3 *)>("sqlite3_close");
  std::lock_guard<std::mutex> lk(connectionLock);
  int rc = close(db);
  if (rc == SQLITE_OK) connections.erase(db);
  return rc;
}

extern "C" int sqlite3_close_v2(sqlite3 *db) {
  static auto close = Next<int (*)(sqlite3 *)>("sqlite3_close_v2");
  std::lock_guard<std::mutex> lk(connectionLock);
  connections.erase(db);
  return close(db);
}
