// CRC-32 and size of a package file, from the data folder or else the working directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <string>

#include "common/crc32.h"
#include "common/host_config.h"
#include "server/handlers/handlers.h"
#include "server/handlers/package_name.h"

static const char *const kNoFile = "{\"crc32\":\"none\",\"size\":0}";

// Opens a regular file for reading; -1 for anything else. Non-blocking so that a FIFO
// without a writer does not hold the connection.
static int OpenRegular(const char *path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat sb;
  if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

void HandleCrc32(SockBuf &w, const char *name) {
  int fd = -1;
  if (IsPackageFileName(name)) {
    std::string path = std::string(HostConfig.PackageFolder) + name;
    fd = OpenRegular(path.c_str());
    if (fd < 0) fd = OpenRegular(name);
  }
  if (fd < 0) {
    OutAppendStr(w, kNoFile);
  } else {
    uint32_t crc = 0xFFFFFFFFu;
    int64_t size = 0;
    char piece[8192];
    for (;;) {
      ssize_t n = read(fd, piece, sizeof piece);
      if (n <= 0) break;  // an error ends it like the end of the file
      size += n;
      crc = Crc32Update(crc, piece, static_cast<size_t>(n));
    }
    close(fd);
    OutAppendF(w, "{\"crc32\":\"%08x\",\"size\":%" PRId64 "}", ~crc, size);
  }
  SendResponse(w, 0, "200 OK", kMimeJson);
}
