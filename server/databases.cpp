// The database step of start-up (OpenDatabases) and the close at shutdown.
#include "server/databases.h"

#include <string>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "server/listener.h"

static const char *const kAppPackage = "A000001.veskara";
const char *const TripFileName = "veskara.trip";

static const char *const kTripSchema[] = {
    "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT) ",
    "CREATE INDEX i_kv_lk ON kvt(l,k) ",
    "CREATE TABLE log (id INTEGER PRIMARY KEY AUTOINCREMENT, ts INTEGER, x DOUBLE, y DOUBLE,t INTEGER,v TEXT) ",
    "CREATE INDEX i_log_ts ON log(ts) ",
    "CREATE INDEX i_log_t ON log(t) ",
};

// Opens a package read-only from PackageFolder, else under its bare name (working directory).
DbHandle OpenPackage(const char *name) {
  std::string path = std::string(HostConfig.PackageFolder) + name;
  DbHandle db = DbOpen(path.c_str(), SQLITE_OPEN_READONLY, false);
  if (!db) db = DbOpen(name, SQLITE_OPEN_READONLY, false);
  return db;
}

int OpenDatabases() {
  // The lock is allocated once; a repeated database step keeps using it, so a track
  // logger still inside a transaction never holds a lock that has been replaced.
  if (!HostConfig.DbMutex) HostConfig.DbMutex = sqlite3_mutex_alloc(SQLITE_MUTEX_FAST);
  HostConfig.AppDb.close();
  HostConfig.ChartDb.close();
  HostConfig.AppDb.set(OpenPackage(kAppPackage));

  std::string trip = std::string(HostConfig.TripFolder) + TripFileName;
  DbHandle tripDb = DbOpen(trip.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, true);
  if (tripDb) {
    // Another process reading the file must not make writes fail at once.
    sqlite3_busy_timeout(tripDb.get(), 2000);
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
