// The database step of start-up (OpenDatabases) and the close at shutdown.
#include "server/databases.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/failure_report.h"
#include "common/fd.h"
#include "common/host_config.h"
#include "common/pos_state.h"
#include "common/sqlite_memory.h"
#include "server/handlers/package_name.h"
#include "server/listener.h"

static const char *const kAppPackage = "A000001.veskara";
// SQLite's memory a package's connection may take to open it and load its schema; the
// packages' own schemas take a few kilobytes.
static const int64_t kPackageSchemaMemory = 4 * 1024 * 1024;
const char *const TripFileName = "veskara.trip";

static const char *const kTripSchema[] = {
    "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT) ",
    "CREATE INDEX i_kv_lk ON kvt(l,k) ",
    "CREATE TABLE log (id INTEGER PRIMARY KEY AUTOINCREMENT, ts INTEGER, x DOUBLE, y DOUBLE,t INTEGER,v TEXT) ",
    "CREATE INDEX i_log_ts ON log(ts) ",
    "CREATE INDEX i_log_t ON log(t) ",
};

bool IsSqliteFile(const char *path) {
  UniqueFd fd(OpenRegularFile(path));
  if (fd.get() < 0) return false;
  static const char kMagic[16] = "SQLite format 3";  // with its NUL: 16 bytes
  char head[16];
  return pread(fd.get(), head, sizeof head, 0) == sizeof head && std::memcmp(head, kMagic, sizeof head) == 0;
}

DbHandle OpenPackageFile(const char *path) {
  if (!IsSqliteFile(path)) return nullptr;
  // Every connection to the package parses its schema again (each connection thread has
  // one), so a schema made to be huge is refused: it must load within a small bound.
  MemoryAccount schema(kPackageSchemaMemory);
  ChargeScope charge(&schema);
  DbHandle db = DbOpenHost(path, SQLITE_OPEN_READONLY, false);
  if (!db) return nullptr;
  // Reading the schema once finds a package that is damaged beyond its first page.
  Stmt st(db.get(), "SELECT count(*) FROM sqlite_master");
  if (!st.ok() || sqlite3_step(st) != SQLITE_ROW) return nullptr;
  return db;
}

// Opens a package read-only from the first of its places that holds one.
DbHandle OpenPackage(const char *name) {
  for (const std::string &place : PackagePlaces(name))
    if (DbHandle db = OpenPackageFile(place.c_str())) return db;
  return nullptr;
}

// The trip database that cannot be opened, is no database, or opens only for reading:
// start-up goes on, and nothing the page stores would be kept, so the user is told.
static void ReportTripFailure(sqlite3 *db, const std::string &path) {
  const std::string folder = path.substr(0, path.find_last_of('/') + 1);
  if (!db || sqlite3_errcode(db) != SQLITE_OK) {
    // After a failed read-write open SQLite tries a read-only one, whose error is the one
    // it keeps: a missing file in a folder that cannot be written reports only ENOENT.
    int err = db ? sqlite3_system_errno(db) : ENOMEM;
    if (access(path.c_str(), F_OK) != 0 && faccessat(AT_FDCWD, folder.empty() ? "." : folder.c_str(), W_OK | X_OK,
                                                     AT_EACCESS) != 0)
      err = errno;
    ReportFailure("cannot open the trip database " + path,
                  err ? ErrorText(err) : std::string(db ? sqlite3_errmsg(db) : "out of memory"));
  } else if (sqlite3_db_readonly(db, "main") == 1) {
    const int err = faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 ? errno : EROFS;
    ReportFailure("cannot write the trip database " + path, err);
  } else if (const int rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) & 0xff;
             rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) {
    // SQLite opens any file; only a read finds one that is no database.
    ReportFailure("cannot open the trip database " + path, sqlite3_errstr(rc));
  }
}

int OpenDatabases() {
  // The lock is allocated once; a repeated database step keeps using it, so a track
  // logger still inside a transaction never holds a lock that has been replaced.
  if (!HostConfig.DbMutex) HostConfig.DbMutex = sqlite3_mutex_alloc(SQLITE_MUTEX_FAST);
  HostConfig.AppDb.close();
  HostConfig.ChartDb.close();
  HostConfig.AppDb.set(OpenPackage(kAppPackage));

  std::string trip = std::string(HostConfig.TripFolder) + TripFileName;
  DbHandle tripDb = DbOpenHost(trip.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, true);
  ReportTripFailure(tripDb.get(), trip);
  if (tripDb) {
    // The page's connection, or another process reading the file, must not make writes
    // fail at once.
    sqlite3_busy_timeout(tripDb.get(), kHostBusyMs);
    for (const char *sql : kTripSchema) sqlite3_exec(tripDb.get(), sql, nullptr, nullptr, nullptr);
  }
  HostConfig.TripDb.set(std::move(tripDb));
  HostConfig.ChartDb.close();
  PosStateReset();
  StartListener();
  return 0;
}

void CloseDatabases() {
  HostConfig.ServerRunning = 0;
  HostConfig.TripDb.close();
  HostConfig.AppDb.close();
  HostConfig.ChartDb.close();
}
