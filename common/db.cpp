// Shared SQLite connection handles.
#include "common/db.h"

DbHandle DbAdopt(sqlite3 *db) {
  if (!db) return nullptr;
  return DbHandle(db, [](sqlite3 *d) { sqlite3_close_v2(d); });
}

DbHandle DbOpen(const char *path, int flags, bool keepFailed) {
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(path, &db, flags, nullptr);
  if (rc != SQLITE_OK && !keepFailed) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  return DbAdopt(db);
}
