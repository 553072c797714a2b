// The first poll's whole track against the sqlite3 shell: the answer of "/getSetHostStat/"
// for time 0 on a trip database of 1,000,000 track points, and the shell's own output of
// the same rows with the same formatting ("[%f,%f,%d]" each, to /dev/null), timed in one
// run. Prints the median of each and the ratio; the goal is at most 1.0x.
//   bench_track_answer [folder]   (default: the temporary folder)
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/trip_bench.h"
#include "common/host_config.h"
#include "common/pos_state.h"
#include "server/databases.h"
#include "server/handlers/handlers.h"

namespace fs = std::filesystem;

int main(int argc, char **argv) {
  std::string root = bench::NewFolder(argc, argv, "marolin-track-bench");
  root += "/";
  const std::string file = root + TripFileName;
  if (!bench::BuildTrip(file, 1000000, 100000, nullptr)) {
    std::fprintf(stderr, "cannot build the trip database in %s\n", root.c_str());
    return 1;
  }
  // The server side without a window; its listener takes a free port of its own.
  std::snprintf(HostConfig.ServerAddress, sizeof HostConfig.ServerAddress, "127.0.0.1");
  HostConfig.ServerPort = 0;
  for (char *folder : {HostConfig.TripFolder, HostConfig.PackageFolder, HostConfig.WebRoot})
    std::snprintf(folder, sizeof HostConfig.TripFolder, "%s", root.c_str());
  OpenDatabases();

  const std::string shell = "sqlite3 -batch -readonly '" + file +
                            "' \"SELECT printf('[%f,%f,%d]',x,y,ts) FROM log WHERE ts > 0 AND +t=1 ORDER BY ts\""
                            " >/dev/null";
  bench::Sink sink;
  size_t bytes = 0;
  int shellFailed = 0;
  // Alternating, so that the machine's other load falls on both alike.
  std::vector<double> ours, theirs;
  for (int i = 0; i < 7; ++i) {
    PosStateReset();
    auto a = bench::Clock::now();
    HandleHostStat(sink.w, "{}", "86400/50/0/0", 2);
    ours.push_back(bench::Seconds(a, bench::Clock::now()));
    bytes = static_cast<size_t>(sink.w.outLen);
    a = bench::Clock::now();
    if (std::system(shell.c_str()) != 0) ++shellFailed;
    theirs.push_back(bench::Seconds(a, bench::Clock::now()));
  }
  if (shellFailed) std::fprintf(stderr, "the sqlite3 shell failed %d times\n", shellFailed);
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  double m = median(ours), s = median(theirs);
  std::printf("whole track of a trip of 1,000,000 points: %zu bytes\n", bytes);
  std::printf("%-36s %8.3f s\n%-36s %8.3f s\n%-36s %8.2fx%s\n", "answer of /getSetHostStat/ (time 0)", m,
              "sqlite3 shell, same rows and format", s, "ratio (goal <= 1.0x)", m / s, m <= s ? "  met" : "  NOT MET");
  HostConfig.TripDb.close();
  fs::remove_all(root);
  return shellFailed ? 1 : 0;
}
