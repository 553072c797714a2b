// The names the page may use for package files, and the two places a name stands for.
#include "server/handlers/package_name.h"

#include <cstring>

#include "common/host_config.h"
#include "server/databases.h"

bool IsPackageFileName(const char *name) {
  if (!name[0] || std::strpbrk(name, "/\\")) return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  // The trip database and its side files (journal, WAL, shared memory) are never packages.
  return std::strncmp(name, TripFileName, std::strlen(TripFileName)) != 0;
}

std::array<std::string, 2> PackagePlaces(const char *name) {
  return {std::string(HostConfig.PackageFolder) + name, std::string(name)};
}
