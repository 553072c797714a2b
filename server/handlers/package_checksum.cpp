// The package checksum route: CRC-32 and size of a package file, from the first of its
// places that holds a regular file.
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <string>

#include "common/crc32.h"
#include "common/fd.h"
#include "server/handlers/handlers.h"
#include "server/handlers/package_name.h"

static const char *const kNoFile = "{\"crc32\":\"none\",\"size\":0}";

void HandleCrc32(SockBuf &w, const char *name) {
  // A FIFO or device in a package's place is no package: it is never opened or waited on.
  UniqueFd fd;
  if (IsPackageFileName(name)) {
    for (const std::string &place : PackagePlaces(name)) {
      fd.reset(OpenRegularFile(place.c_str()));
      if (fd.get() >= 0) break;
    }
  }
  if (fd.get() < 0) {
    OutAppendStr(w, kNoFile);
  } else {
    uint32_t crc = 0xFFFFFFFFu;
    int64_t size = 0;
    char piece[8192];
    for (;;) {
      ssize_t n = read(fd.get(), piece, sizeof piece);
      if (n <= 0) break;  // an error ends it like the end of the file
      size += n;
      crc = Crc32Update(crc, piece, static_cast<size_t>(n));
    }
    OutAppendF(w, "{\"crc32\":\"%08x\",\"size\":%" PRId64 "}", ~crc, size);
  }
  SendResponse(w, 0, "200 OK", kMimeJson);
}
