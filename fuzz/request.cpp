// Drives the request reader and the route tables with arbitrary bytes over a socket pair.
// The process first moves into a network namespace of its own, so routes that start
// network clients can reach nothing outside it.
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "common/host_config.h"
#include "server/listener.h"

static void Setup() {
  if (unshare(CLONE_NEWNET) != 0) {
    std::perror("unshare(CLONE_NEWNET)");
    std::abort();
  }
  char tmpl[] = "/tmp/marolin-fuzz-XXXXXX";
  if (!mkdtemp(tmpl)) std::abort();
  std::string folder = std::string(tmpl) + "/";
  std::snprintf(HostConfig.TripFolder, sizeof HostConfig.TripFolder, "%s", folder.c_str());
  std::snprintf(HostConfig.PackageFolder, sizeof HostConfig.PackageFolder, "%s", folder.c_str());
  std::snprintf(HostConfig.WebRoot, sizeof HostConfig.WebRoot, "%s", folder.c_str());
  std::strcpy(HostConfig.alang, "en");
  std::strcpy(HostConfig.mlang, "de");
  std::strcpy(HostConfig.skin, "Navy Blue");
  HostConfig.DbMutex = sqlite3_mutex_alloc(SQLITE_MUTEX_FAST);
  HostConfig.TripDb.set(DbOpen((folder + "veskara.trip").c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, true));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = (Setup(), true);
  (void)once;
  HostConfig.ServerRunning = 1;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  // The client side writes the input, then reads whatever comes back until the server closes.
  std::thread client([&] {
    size_t off = 0;
    while (off < size) {
      ssize_t n = send(sv[1], data + off, size - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    shutdown(sv[1], SHUT_WR);
    char buf[65536];
    while (recv(sv[1], buf, sizeof buf, 0) > 0) {
    }
  });
  ConnectionThread(sv[0]);  // closes sv[0]
  client.join();
  close(sv[1]);
  return 0;
}
