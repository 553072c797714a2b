// Test support: SQL on database files.
#include "tests/support/sqlfile.h"

#include <sqlite3.h>

#include <cstdio>

namespace testing_support {

namespace {

struct Conn {
  sqlite3 *db = nullptr;
  explicit Conn(const std::string &file) {
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_busy_timeout(db, 5000);
  }
  ~Conn() { sqlite3_close_v2(db); }
};

}  // namespace

bool SqlExec(const std::string &file, const std::string &sql) {
  Conn c(file);
  char *err = nullptr;
  int rc = sqlite3_exec(c.db, sql.c_str(), nullptr, nullptr, &err);
  if (err) std::fprintf(stderr, "SqlExec: %s\n", err);
  sqlite3_free(err);
  return rc == SQLITE_OK;
}

std::vector<std::string> SqlRows(const std::string &file, const std::string &sql) {
  Conn c(file);
  std::vector<std::string> rows;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(c.db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    rows.push_back(std::string("ERROR ") + sqlite3_errmsg(c.db));
    return rows;
  }
  while (sqlite3_step(st) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      if (i) row += "|";
      if (sqlite3_column_type(st, i) == SQLITE_NULL) {
        row += "NULL";
      } else {
        const char *t = static_cast<const char *>(sqlite3_column_blob(st, i));
        row.append(t ? t : "", static_cast<size_t>(sqlite3_column_bytes(st, i)));
      }
    }
    rows.push_back(row);
  }
  sqlite3_finalize(st);
  return rows;
}

std::string SqlBlob(const std::string &bytes) {
  std::string s = "X'";
  char hex[3];
  for (unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    s += hex;
  }
  return s + "'";
}

}  // namespace testing_support
