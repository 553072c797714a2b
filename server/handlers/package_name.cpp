// The names the page may use for package files.
#include "server/handlers/package_name.h"

#include <cstring>

static const char *const kTripFileName = "veskara.trip";

bool IsPackageFileName(const char *name) {
  if (!name[0] || std::strpbrk(name, "/\\")) return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  // The trip database and its side files (journal, WAL, shared memory) are never packages.
  return std::strncmp(name, kTripFileName, std::strlen(kTripFileName)) != 0;
}
