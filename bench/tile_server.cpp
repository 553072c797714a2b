// The local server alone, serving tiles of one chart package, for load measurements.
//   bench_tile_server ADDRESS PORT PACKAGE [TRIPFOLDER]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "common/host_config.h"
#include "server/databases.h"

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_tile_server ADDRESS PORT PACKAGE [TRIPFOLDER]\n");
    return 2;
  }
  std::string folder = argc > 4 ? argv[4] : std::filesystem::temp_directory_path().string();
  if (folder.back() != '/') folder += '/';
  std::snprintf(HostConfig.ServerAddress, sizeof HostConfig.ServerAddress, "%s", argv[1]);
  HostConfig.ServerPort = std::atoi(argv[2]);
  std::snprintf(HostConfig.TripFolder, sizeof HostConfig.TripFolder, "%s", folder.c_str());
  std::snprintf(HostConfig.PackageFolder, sizeof HostConfig.PackageFolder, "%s", folder.c_str());
  std::snprintf(HostConfig.WebRoot, sizeof HostConfig.WebRoot, "%s", folder.c_str());
  {
    std::lock_guard<std::mutex> lk(HostConfig.SettingsLock);
    std::strcpy(HostConfig.alang, "en");
    std::strcpy(HostConfig.mlang, "de");
    std::strcpy(HostConfig.skin, "Navy Blue");
  }
  OpenDatabases();
  DbHandle chart = DbOpenHost(argv[3], SQLITE_OPEN_READONLY, false);  // as the program opens a package
  if (!chart) {
    std::fprintf(stderr, "cannot open %s\n", argv[3]);
    return 1;
  }
  HostConfig.ChartDb.set(std::move(chart));
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
