// Settings and host state kept as kvt rows of the trip database: "/setValue/" stores a
// body, "/getSetState/" switches languages, skin and chart package and stores the value.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/config.h"
#include "common/host_config.h"
#include "server/databases.h"
#include "server/handlers/handlers.h"
#include "server/handlers/package_name.h"

// Every row of the key goes, whatever its language. The one index, i_kv_lk, leads with the
// language, so the languages are named in the statement: under '**', where all of the
// host's rows are, the key is looked up; the few rows of any other language are read by
// range and NULL by lookup. Every value is below, at or above '**', so no row is missed,
// and the table is never read whole.
static const char *const kKvtDeleteSql = "DELETE FROM kvt WHERE k=? AND (l='**' OR l<'**' OR l>'**' OR l IS NULL)";
static const char *const kKvtInsertSql = "INSERT INTO kvt VALUES (?,?,?,'**')";
static const char *const kDeleteFailed = "500 DELETE FROM kvt";
static const char *const kInsertFailed = "500 ERROR INSERT kvt";
static const char *const kNoSuchState = "510 no such state";
static const int kStateType = 9;

// Appends to the status text, cutting at its width.
static void StatusAppend(SockBuf &w, const char *text) {
  size_t have = std::strlen(w.status);
  std::snprintf(w.status + have, sizeof w.status - have, "%s", text);
}

// Stores the body under the key as "/setValue/" does and answers "OK" or "ERR".
void HandleSetValue(SockBuf &w, const char *key, const char *body, int bodyLen) {
  DbHandle trip = HostConfig.TripDb.get();
  int rc = KvtPut(trip.get(), w, key, body, bodyLen, 10);
  OutAppendStr(w, rc == 0 ? "OK" : "ERR");
  SendResponse(w, 0, nullptr, kMimeBinary);
}

// Runs one statement without a result; true when it is done.
static bool Exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

int KvtPut(sqlite3 *db, SockBuf &w, const char *key, const char *value, int valueLen, int t) {
  if (!db) {
    StatusAppend(w, kDeleteFailed);
    return -1;
  }
  // Under the trip-database lock the delete and the insert of one key cannot interleave
  // with another writer of the same key, which would leave two rows.
  SqliteLock lock(HostConfig.DbMutex);
  ConnectionLock host(db);
  // The delete and the insert are one unit: an insert that fails (a full disk) leaves the
  // old row.
  if (!Exec(db, "SAVEPOINT kvtput")) {
    StatusAppend(w, kDeleteFailed);
    return -1;
  }
  auto undo = [db] {
    Exec(db, "ROLLBACK TO kvtput");
    Exec(db, "RELEASE kvtput");
  };
  bool deleted;
  {
    Stmt del(db, kKvtDeleteSql);
    if (del.ok()) sqlite3_bind_text(del, 1, key, -1, SQLITE_STATIC);
    deleted = del.ok() && sqlite3_step(del) == SQLITE_DONE;
  }
  if (!deleted) {
    undo();
    StatusAppend(w, kDeleteFailed);
    return -1;
  }
  bool inserted;
  {
    Stmt ins(db, kKvtInsertSql);
    if (ins.ok()) {
      sqlite3_bind_text(ins, 1, key, -1, SQLITE_STATIC);
      sqlite3_bind_text(ins, 2, value, valueLen < 0 ? 0 : valueLen, SQLITE_STATIC);
      sqlite3_bind_int64(ins, 3, t);
    }
    inserted = ins.ok() && sqlite3_step(ins) == SQLITE_DONE;
  }
  // The release commits when the savepoint began the transaction; a commit that fails
  // is undone like a failed insert.
  if (!inserted || !Exec(db, "RELEASE kvtput")) {
    undo();
    StatusAppend(w, kInsertFailed);
    return -2;
  }
  return 0;
}

// Copies value into a field of the given size, cut at a UTF-8 character boundary.
static void CopySetting(char *field, size_t size, const char *value) {
  size_t n = std::strlen(value);
  if (n > size - 1) {
    n = size - 1;
    // Step back over continuation bytes so that no character is split.
    while (n > 0 && (static_cast<unsigned char>(value[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(field, value, n);
  std::memset(field + n, 0, size - n);
}

// Sets one of the three texts and writes "000 " and its new value into the reply.
static void SetSetting(SockBuf &w, char *field, size_t size, const char *value, char *copy) {
  {
    std::lock_guard<std::mutex> lk(HostConfig.SettingsLock);
    CopySetting(field, size, value);
    std::memcpy(copy, field, size);
  }
  OutAppendStr(w, "000 ");
  OutAppendStr(w, copy);
}

static void SwitchChart(SockBuf &w, const char *name) {
  if (!IsPackageFileName(name)) {
    OutAppendStr(w, "500 ");
    OutAppendStr(w, name);
    return;
  }
  // The current package is closed first, even when the new one cannot be opened; requests
  // still using it keep their own reference until they finish.
  HostConfig.ChartDb.close();
  // Only a regular file with a readable SQLite schema opens: a FIFO or device is never
  // waited on, and a file that is no database is a failed open.
  std::string path;
  DbHandle db;
  for (const std::string &place : PackagePlaces(name)) {
    path = place;  // the answer names the place opened, else the last one tried
    if ((db = OpenPackageFile(path.c_str()))) break;
  }
  OutAppendStr(w, db ? "000 " : "500 ");
  OutAppendStr(w, path.c_str());
  HostConfig.ChartDb.set(std::move(db));
}

// A file that delchartdb may remove: absent (nothing to do), or a regular SQLite file.
static bool Deletable(const char *path, bool &present) {
  struct stat st;
  present = lstat(path, &st) == 0;
  return !present || IsSqliteFile(path);
}

static void DeleteChart(SockBuf &w, const char *name) {
  // Only chart packages go: a package name ending in the package extension, not hidden,
  // and in each place a regular SQLite file. Anything else there (a settings file of the
  // working directory, a text file, a FIFO) refuses the whole request.
  static const char kExtension[] = ".veskara";
  size_t n = std::strlen(name), e = sizeof kExtension - 1;
  const auto places = PackagePlaces(name);
  bool present[2] = {false, false};
  if (!IsPackageFileName(name) || name[0] == '.' || n <= e || std::strcmp(name + n - e, kExtension) != 0 ||
      !Deletable(places[0].c_str(), present[0]) || !Deletable(places[1].c_str(), present[1])) {
    OutAppendStr(w, "500 ");
    OutAppendStr(w, name);
    return;
  }
  HostConfig.ChartDb.close();
  for (size_t i = 0; i < places.size(); ++i)
    if (present[i]) unlink(places[i].c_str());
  OutAppendStr(w, "000 ");
  OutAppendStr(w, name);
}

void HandleGetSetState(SockBuf &w, char *rest) {
  DbHandle trip = HostConfig.TripDb.get();
  char *eq = std::strchr(rest, '=');
  if (!eq) {
    KvtServe(w, trip.get(), rest, "**");
    return;
  }
  *eq = 0;
  const char *key = rest;
  const char *value = eq + 1;
  char copy[sizeof HostConfig.skin];
  if (std::strcmp(key, "alang") == 0) {
    SetSetting(w, HostConfig.alang, sizeof HostConfig.alang, value, copy);
    RegWriteSetting("alang", copy);
  } else if (std::strcmp(key, "mlang") == 0) {
    SetSetting(w, HostConfig.mlang, sizeof HostConfig.mlang, value, copy);
  } else if (std::strcmp(key, "skin") == 0) {
    SetSetting(w, HostConfig.skin, sizeof HostConfig.skin, value, copy);
    RegWriteSetting("skin", copy);
  } else if (std::strcmp(key, "chartdb") == 0) {
    SwitchChart(w, value);
  } else if (std::strcmp(key, "delchartdb") == 0) {
    DeleteChart(w, value);
  } else {
    std::snprintf(w.status, sizeof w.status, "%s", kNoSuchState);
  }
  // Every value is kept, an unknown key's too; a failed store shows only in the status.
  KvtPut(trip.get(), w, key, value, static_cast<int>(std::strlen(value)), kStateType);
  SendResponse(w, 0, nullptr, kMimeHtml);
}
