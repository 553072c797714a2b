// A trip database as earlier versions left it (the five schema statements only): a track
// of one point every 2 s, a playback marker halfway and now and then a clock step back
// (two points of one second); key/value rows mostly valid in every language.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "common/db.h"

namespace bench {

constexpr int64_t kFirstPoint = 1700000000;

inline bool Exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Makes the file at path anew; *lastTs receives the newest point's time.
inline bool BuildTrip(const std::string &path, int points, int kvtRows, int64_t *lastTs) {
  static const char *const kFiveStatements[] = {
      "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT) ",
      "CREATE INDEX i_kv_lk ON kvt(l,k) ",
      "CREATE TABLE log (id INTEGER PRIMARY KEY AUTOINCREMENT, ts INTEGER, x DOUBLE, y DOUBLE,t INTEGER,v TEXT) ",
      "CREATE INDEX i_log_ts ON log(ts) ",
      "CREATE INDEX i_log_t ON log(t) ",
  };
  std::filesystem::remove(path);
  sqlite3 *db = nullptr;
  bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
  for (const char *sql : kFiveStatements) ok = ok && Exec(db, sql);
  ok = ok && Exec(db, "BEGIN");
  {
    Stmt s(db, "INSERT INTO log (ts,x,y,t,v) VALUES (?,?,?,?,?)");
    int64_t ts = kFirstPoint;
    char tag[32];
    for (int i = 0; ok && i < points; ++i) {
      bool marker = i == points / 2;
      if (i % 50000 != 49999) ts += 2;
      std::snprintf(tag, sizeof tag, "gt=%x dk=%.1f", static_cast<unsigned>(ts), (i % 200) / 10.0);
      sqlite3_bind_int64(s, 1, ts);
      sqlite3_bind_double(s, 2, marker ? 999 : 10.0 + (i % 100000) * 1e-5);
      sqlite3_bind_double(s, 3, marker ? 999 : 54.0 + (i % 70000) * 1.3e-5);
      sqlite3_bind_int(s, 4, marker ? 2 : 1);
      sqlite3_bind_text(s, 5, marker ? "NMEA playback starts" : tag, -1, SQLITE_TRANSIENT);
      ok = sqlite3_step(s) == SQLITE_DONE && sqlite3_reset(s) == SQLITE_OK;
    }
    if (lastTs) *lastTs = ts;
  }
  {
    Stmt s(db, "INSERT INTO kvt VALUES (?,?,?,?)");
    const std::string value(100, 'v');
    char key[32];
    for (int i = 0; ok && i < kvtRows; ++i) {
      std::snprintf(key, sizeof key, "key%06d", i);
      sqlite3_bind_text(s, 1, key, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 2, value.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(s, 3, i % 2 ? 9 : 10);
      sqlite3_bind_text(s, 4, i % 1000 == 7 ? "de" : "**", -1, SQLITE_STATIC);
      ok = sqlite3_step(s) == SQLITE_DONE && sqlite3_reset(s) == SQLITE_OK;
    }
  }
  ok = ok && Exec(db, "INSERT INTO kvt VALUES ('settings','{}',10,'**')") && Exec(db, "COMMIT");
  sqlite3_close(db);
  return ok;
}

}  // namespace bench
