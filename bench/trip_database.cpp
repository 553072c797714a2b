// What the trip database's size costs each request: the same requests on a small trip
// database (1,000 track points, 100 kvt rows) and a large one (1,000,000 points, about 100
// days under way, and 100,000 kvt rows), both made as earlier versions left them (the
// five schema statements only), timed in one run. Prints the median of each request on
// both and the large/small ratio; the per-request costs should stay within 1.5x.
//   bench_trip_database [folder]   (default: the temporary folder; the fsync of every
//                                   write lands there)
// With MAROLIN_BENCH_DUMP=DIR the whole-track answers go to DIR/small.json and
// DIR/large.json, for a byte-for-byte comparison between builds.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/trip_bench.h"
#include "common/crc32.h"
#include "common/db.h"
#include "common/host_config.h"
#include "common/pos_state.h"
#include "common/sockbuf.h"
#include "nav/serial.h"
#include "nav/track_log.h"
#include "server/databases.h"
#include "server/handlers/handlers.h"

namespace {

using bench::Clock;
using bench::Median;
using bench::Seconds;
using bench::Sink;
namespace fs = std::filesystem;

struct Trip {
  const char *name;
  int points, kvtRows;
  std::string folder;
  int64_t lastTs = 0;
  DbHandle db;
};

bool Build(Trip &trip) {
  fs::create_directories(trip.folder);
  return bench::BuildTrip(trip.folder + TripFileName, trip.points, trip.kvtRows, &trip.lastTs);
}

long StatusKb(const char *field) {
  std::ifstream f("/proc/self/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(f, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

// Forgets the peak resident size so far; false where the kernel cannot.
bool ResetPeak() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
  f.flush();
  return static_cast<bool>(f);
}

struct Row {
  const char *what;
  double small, large;
  bool goal;  // a per-request cost that should stay within 1.5x
};

void Print(const Row &r) {
  std::printf("%-34s %12.4f ms %12.4f ms %10.2fx%s\n", r.what, r.small * 1e3, r.large * 1e3, r.large / r.small,
              r.goal ? (r.large / r.small <= 1.5 ? "  within 1.5x" : "  OVER 1.5x") : "");
}

}  // namespace

int main(int argc, char **argv) {
  std::string root = bench::NewFolder(argc, argv, "marolin-trip-bench");
  const char *dump = std::getenv("MAROLIN_BENCH_DUMP");
  Trip trips[2] = {{"small", 1000, 100, root + "/small/", 0, nullptr},
                   {"large", 1000000, 100000, root + "/large/", 0, nullptr}};
  for (Trip &t : trips) {
    auto a = Clock::now();
    if (!Build(t)) {
      std::fprintf(stderr, "cannot build the %s trip database in %s\n", t.name, t.folder.c_str());
      return 1;
    }
    std::printf("%s: %d track points, %d kvt rows, built in %.1f s\n", t.name, t.points, t.kvtRows,
                Seconds(a, Clock::now()));
  }

  // The server side without a window; its listener takes a free port of its own.
  std::snprintf(HostConfig.ServerAddress, sizeof HostConfig.ServerAddress, "127.0.0.1");
  HostConfig.ServerPort = 0;
  std::snprintf(HostConfig.PackageFolder, sizeof HostConfig.PackageFolder, "%s/", root.c_str());
  std::snprintf(HostConfig.WebRoot, sizeof HostConfig.WebRoot, "%s/", root.c_str());
  auto use = [](Trip &t) { HostConfig.TripDb.set(t.db); };

  std::vector<Row> rows;
  // Start-up: the database step on the existing file.
  double m[2];
  for (int i = 0; i < 2; ++i) {
    std::snprintf(HostConfig.TripFolder, sizeof HostConfig.TripFolder, "%s", trips[i].folder.c_str());
    m[i] = Median([] { OpenDatabases(); }, 5, 5, 0);
    trips[i].db = HostConfig.TripDb.get();
  }
  rows.push_back({"start-up (database step)", m[0], m[1], false});

  Sink sink;
  SockBuf &w = sink.w;

  // The poll: the four newest points.
  for (int i = 0; i < 2; ++i) {
    use(trips[i]);
    PosStateReset();
    std::string rest = "86400/50/0/" + std::to_string(trips[i].lastTs - 7);
    m[i] = Median([&] { HandleHostStat(w, "{}", rest.c_str(), 2); }, 20, 2000, 2.0);
  }
  rows.push_back({"poll (4 new points)", m[0], m[1], true});

  for (int i = 0; i < 2; ++i) {
    use(trips[i]);
    m[i] = Median([&] { KvtServe(w, trips[i].db.get(), "key000050", "**"); }, 20, 2000, 1.0);
  }
  rows.push_back({"/getValue/", m[0], m[1], true});

  const std::string value(300, 's');
  for (int i = 0; i < 2; ++i) {
    use(trips[i]);
    m[i] = Median([&] { HandleSetValue(w, "key000050", value.c_str(), static_cast<int>(value.size())); }, 20, 500,
                  3.0);
  }
  rows.push_back({"key/value write (/setValue/)", m[0], m[1], true});

  // The first poll after start-up: the whole track. Its peak is the growth of the
  // resident size over the call, the answer's buffer included.
  long peak[2] = {-1, -1};
  size_t bytes[2] = {0, 0};
  uint32_t crc[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    use(trips[i]);
    PosStateReset();
    SockBufShrink(w);
    bool canPeak = ResetPeak();
    long before = StatusKb("VmRSS:");
    HandleHostStat(w, "{}", "86400/50/0/0", 2);
    if (canPeak) peak[i] = StatusKb("VmHWM:") - before;
    bytes[i] = static_cast<size_t>(w.outLen);
    crc[i] = ~Crc32Update(0xFFFFFFFFu, w.buf, bytes[i]);
    if (dump) std::ofstream(std::string(dump) + "/" + trips[i].name + ".json", std::ios::binary).write(w.buf, w.outLen);
    m[i] = Median(
        [&] {
          SockBufShrink(w);
          HandleHostStat(w, "{}", "86400/50/0/0", 2);
        },
        3, 200, 3.0);
  }
  rows.push_back({"first poll (whole track)", m[0], m[1], false});
  const double perPoint[2] = {m[0] / trips[0].points, m[1] / trips[1].points};

  // The track logger's pass: one point a second, each with its 'settings' row.
  for (int i = 0; i < 2; ++i) {
    use(trips[i]);
    PosStateReset();
    PosState.fix = 1;
    PosState.lat = 54.5;
    PosState.lon = 10.5;
    PosState.trackMaxInterval = 0;
    int64_t now = trips[i].lastTs + 100;
    m[i] = Median(
        [&] {
          PosState.now = ++now;
          TrackLogPass();
        },
        20, 500, 3.0);
  }
  rows.push_back({"track logger's pass", m[0], m[1], true});

  // The playback start empties the track: the last step on each.
  std::string emptyLog = root + "/nmea.log";
  std::ofstream(emptyLog).close();
  for (int i = 0; i < 2; ++i) {
    use(trips[i]);
    auto a = Clock::now();
    NmeaPlaybackThread(emptyLog);
    m[i] = Seconds(a, Clock::now());
  }
  rows.push_back({"playback start (empties the track)", m[0], m[1], false});

  std::printf("\n%-34s %15s %15s %11s\n", "", "small", "large", "large/small");
  for (const Row &r : rows) Print(r);
  std::printf("%-34s %12.4f us %12.4f us %10.2fx  per point\n", "first poll per point", perPoint[0] * 1e6,
              perPoint[1] * 1e6, perPoint[1] / perPoint[0]);
  for (int i = 0; i < 2; ++i)
    std::printf("first poll, %s: %zu bytes, crc32 %08" PRIx32 ", peak resident growth %ld kB\n", trips[i].name,
                bytes[i], crc[i], peak[i]);

  HostConfig.TripDb.close();
  for (Trip &t : trips) t.db.reset();
  fs::remove_all(root);
  return 0;
}
