// The names the page may use for package files.
#include "server/handlers/package_name.h"

#include <cstring>

#include "server/databases.h"

bool IsPackageFileName(const char *name) {
  if (!name[0] || std::strpbrk(name, "/\\")) return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  // The trip database and its side files (journal, WAL, shared memory) are never packages.
  return std::strncmp(name, TripFileName, std::strlen(TripFileName)) != 0;
}
