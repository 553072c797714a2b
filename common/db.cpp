// Shared SQLite connection handles.
#include "common/db.h"

#include <sys/stat.h>

#include <chrono>
#include <string>

namespace {

// The closer carries the file the connection was opened on, so that the identity and the
// name go wherever the handle goes.
struct Closer {
  DbFileId file;
  std::string path;
  void operator()(sqlite3 *d) const { sqlite3_close_v2(d); }
};

// Largest value a statement of the host's reads or makes: twice what the page can store.
constexpr int kHostValueLimit = 64 * 1024 * 1024;

// The calling thread's deadline for the host's statements, in steady-clock nanoseconds;
// 0: none.
thread_local int64_t hostDeadline = 0;

int64_t SteadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int HostPastDeadline(void *) { return hostDeadline != 0 && SteadyNow() > hostDeadline; }

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
  return DbHandle(db, Closer{rc == SQLITE_OK && before.same(after) ? after : DbFileId{}, path ? path : ""});
}

DbHandle DbOpenHost(const char *path, int flags, bool keepFailed) {
  DbHandle db = DbOpen(path, flags, keepFailed);
  sqlite3 *d = db.get();
  if (!d) return db;
  static const int kOff[] = {SQLITE_DBCONFIG_ENABLE_VIEW, SQLITE_DBCONFIG_ENABLE_TRIGGER,
                             SQLITE_DBCONFIG_TRUSTED_SCHEMA, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER,
                             SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION};
  for (int op : kOff) sqlite3_db_config(d, op, 0, nullptr);
  sqlite3_db_config(d, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  // A table of the file's that is a virtual table then fails to prepare, as a missing one.
  sqlite3_drop_modules(d, nullptr);
  sqlite3_limit(d, SQLITE_LIMIT_LENGTH, kHostValueLimit);
  sqlite3_limit(d, SQLITE_LIMIT_ATTACHED, 0);
  sqlite3_limit(d, SQLITE_LIMIT_WORKER_THREADS, 0);
  sqlite3_exec(d, "PRAGMA cell_size_check=ON", nullptr, nullptr, nullptr);
  sqlite3_progress_handler(d, 1000, HostPastDeadline, nullptr);
  return db;
}

const char *DbPath(const DbHandle &db) {
  const Closer *c = std::get_deleter<Closer>(db);
  return c ? c->path.c_str() : "";
}

DbFileId DbFile(const DbHandle &db) {
  const Closer *c = std::get_deleter<Closer>(db);
  return c ? c->file : DbFileId{};
}

HostStatementBound::HostStatementBound() : old_(hostDeadline) {
  if (!old_) hostDeadline = SteadyNow() + int64_t{kHostStatementMs} * 1000000;
}

HostStatementBound::~HostStatementBound() { hostDeadline = old_; }

ConnectionLock::ConnectionLock(sqlite3 *db) : db_(db) {
  if (db_) sqlite3_mutex_enter(sqlite3_db_mutex(db_));
}

ConnectionLock::~ConnectionLock() {
  if (db_) sqlite3_mutex_leave(sqlite3_db_mutex(db_));
}
