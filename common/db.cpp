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

// True only when the connection's schemas, the temporary one included, certainly hold no
// trigger.
static bool NoTriggers(sqlite3 *db) {
  Stmt s(db,
         "SELECT 1 FROM sqlite_master WHERE type='trigger' "
         "UNION ALL SELECT 1 FROM sqlite_temp_master WHERE type='trigger'");
  return s.ok() && sqlite3_step(s) == SQLITE_DONE;
}

HostWriteScope::HostWriteScope(sqlite3 *db) : db_(db) {
  if (!db_) return;
  sqlite3_mutex_enter(sqlite3_db_mutex(db_));
  // Switching expires every statement of the connection, and one that another thread is
  // in the middle of may then end early; so only when there is something to keep out.
  int on = 0;
  if (!NoTriggers(db_) && sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_TRIGGER, -1, &on) == SQLITE_OK && on)
    switched_ = sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr) == SQLITE_OK;
}

HostWriteScope::~HostWriteScope() {
  if (!db_) return;
  if (switched_) sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_TRIGGER, 1, nullptr);
  sqlite3_mutex_leave(sqlite3_db_mutex(db_));
}
