// Shared SQLite connection handles.
#include "common/db.h"

#include <sys/stat.h>

namespace {

// The closer carries the file the connection was opened on, so that the identity goes
// wherever the handle goes.
struct Closer {
  DbFileId file;
  void operator()(sqlite3 *d) const { sqlite3_close_v2(d); }
};

DbFileId Stat(const char *path) {
  struct stat st {};
  DbFileId id;
  if (path && stat(path, &st) == 0) id = {st.st_dev, st.st_ino, true};
  return id;
}

}  // namespace

DbHandle DbAdopt(sqlite3 *db) {
  if (!db) return nullptr;
  return DbHandle(db, Closer{});
}

DbHandle DbOpen(const char *path, int flags, bool keepFailed) {
  sqlite3 *db = nullptr;
  DbFileId before = Stat(path);
  int rc = sqlite3_open_v2(path, &db, flags, nullptr);
  if (rc != SQLITE_OK && !keepFailed) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  if (!db) return nullptr;
  DbFileId after = Stat(path);
  return DbHandle(db, Closer{rc == SQLITE_OK && before.same(after) ? after : DbFileId{}});
}

DbFileId DbFile(const DbHandle &db) {
  const Closer *c = std::get_deleter<Closer>(db);
  return c ? c->file : DbFileId{};
}
