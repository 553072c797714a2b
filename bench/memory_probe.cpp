// Loaded into the real program (LD_PRELOAD) by bench/passage_soak.sh, as a debugger here
// cannot call into it from outside: every MAROLIN_PROBE_SECONDS (default 60) it appends one line to
// the file MAROLIN_PROBE_FILE: seconds since start, resident and anonymous memory (kB),
// malloc's bytes in use and free in its heaps, SQLite's memory in use and the part of it
// that page caches hold (bytes).
#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// SQLite's own total. Where the library does not count (SQLITE_CONFIG_MEMSTATUS off) this
// is the one call to point at the program's own count instead.
long long SqliteTotal() { return sqlite3_memory_used(); }

long long PageCaches() {
  sqlite3_int64 now = 0, peak = 0;
  return sqlite3_status64(SQLITE_STATUS_PAGECACHE_OVERFLOW, &now, &peak, 0) == SQLITE_OK ? now : -1;
}

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
