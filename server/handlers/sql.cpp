// SQL of the page run on the trip database or the open chart package; rows come back as
// a JSON array of arrays, other statements as "OK", "ERR" or the library's message.
//
// The page's statement reaches only the database it is sent to: no ATTACH or DETACH, no
// VACUUM INTO, no pragma naming a folder; it runs for a bounded time and its result has a
// bounded size. Those bounds are set on the shared connection for the one statement and
// taken off again before its mutex is left, so the server's own statements never meet them.
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "common/db.h"
#include "server/handlers/handlers.h"

// The page's statements are small; one that runs longer is stopped ("interrupted").
static const int kSqlTimeLimitMs = 5000;
// Largest text or blob a statement of the page may make, and largest answer.
static const int kSqlValueLimit = 32 * 1024 * 1024;
static const int kSqlResultLimit = 64 * 1024 * 1024;
static const char kResultTooLarge[] = "500 result too large";
// The library's text for a statement its authorizer refuses while compiling.
static const char kNotAuthorized[] = "not authorized";

static void AppendCell(SockBuf &w, sqlite3_stmt *st, int col) {
  switch (sqlite3_column_type(st, col)) {
    case SQLITE_INTEGER: {
      const unsigned char *t = sqlite3_column_text(st, col);
      OutAppend(w, t, static_cast<size_t>(sqlite3_column_bytes(st, col)));
      break;
    }
    case SQLITE_FLOAT: {
      double v = sqlite3_column_double(st, col);
      // "%lf" of the largest double is 316 characters; JSON has no infinities.
      if (std::isfinite(v)) {
        char num[400];
        int n = std::snprintf(num, sizeof num, "%lf", v);
        OutAppend(w, num, static_cast<size_t>(n));
      } else {
        OutAppendStr(w, "null");
      }
      break;
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const unsigned char *t = sqlite3_column_text(st, col);
      OutAppendStr(w, "\"");
      OutAppendJson(w, t, static_cast<size_t>(sqlite3_column_bytes(st, col)));
      OutAppendStr(w, "\"");
      break;
    }
    default:
      OutAppendStr(w, "null");
      break;
  }
}

static bool FolderPragma(const char *name) {
  return name && (sqlite3_stricmp(name, "temp_store_directory") == 0 || sqlite3_stricmp(name, "data_store_directory") == 0);
}

static int PageAuthorizer(void *, int action, const char *a, const char *, const char *, const char *) {
  // The one attach allowed is of a private temporary database (no file name): plain
  // VACUUM makes its copy in one.
  if (action == SQLITE_ATTACH && a && !*a) return SQLITE_OK;
  if (action == SQLITE_ATTACH || action == SQLITE_DETACH) return SQLITE_DENY;
  if (action == SQLITE_PRAGMA && FolderPragma(a)) return SQLITE_DENY;
  return SQLITE_OK;
}

static int PastDeadline(void *deadline) {
  return std::chrono::steady_clock::now() > *static_cast<std::chrono::steady_clock::time_point *>(deadline);
}

// Skips blanks and comments as the SQL tokenizer does.
static const char *SkipSpace(const char *p) {
  for (;;) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f') ++p;
    if (p[0] == '-' && p[1] == '-') {
      while (*p && *p != '\n') ++p;
    } else if (p[0] == '/' && p[1] == '*') {
      const char *end = std::strstr(p + 2, "*/");
      p = end ? end + 2 : p + std::strlen(p);
    } else {
      return p;
    }
  }
}

// VACUUM INTO writes a copy of the database to a file of the statement's choosing. The
// authorizer hears of it only while it runs (as an attach), so it is refused up front
// with the compile-time text; the compiled program tells: its Vacuum step then names
// the register holding the file name.
static bool VacuumInto(sqlite3 *db, sqlite3_stmt *st) {
  const char *sql = SkipSpace(sqlite3_sql(st));
  if (sqlite3_strnicmp(sql, "VACUUM", 6) != 0) return false;
  std::string explain = std::string("EXPLAIN ") + sql;
  Stmt ex(db, explain.c_str());
  if (!ex.ok()) return true;  // cannot be told: refused
  while (sqlite3_step(ex) == SQLITE_ROW) {
    const unsigned char *op = sqlite3_column_text(ex, 1);
    if (op && std::strcmp(reinterpret_cast<const char *>(op), "Vacuum") == 0 && sqlite3_column_int(ex, 3) != 0)
      return true;
  }
  return false;
}

namespace {

// The page's bounds on a connection while its mutex is held.
class PageStatementBounds {
 public:
  explicit PageStatementBounds(sqlite3 *db) : db_(db) {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSqlTimeLimitMs);
    sqlite3_set_authorizer(db_, PageAuthorizer, nullptr);
    sqlite3_progress_handler(db_, 1000, PastDeadline, &deadline_);
    oldLength_ = sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, kSqlValueLimit);
  }
  ~PageStatementBounds() {
    sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, oldLength_);
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    sqlite3_set_authorizer(db_, nullptr, nullptr);
  }
  PageStatementBounds(const PageStatementBounds &) = delete;
  PageStatementBounds &operator=(const PageStatementBounds &) = delete;

 private:
  sqlite3 *db_;
  std::chrono::steady_clock::time_point deadline_;
  int oldLength_ = 0;
};

}  // namespace

void HandleExecSql(SockBuf &w, sqlite3 *db, const char *sql) {
  SockBufReset(w);
  if (!db) {
    // No connection: the library's text for a missing connection.
    OutAppendStr(w, sqlite3_errmsg(nullptr));
    SendResponse(w, 0, "200 OK", kMimeJson);
    return;
  }
  const char *status = "200 OK";
  {
    // The whole statement runs under the connection's (recursive) mutex: the bounds above
    // apply to it alone, and its error code and text cannot be replaced by another thread.
    SqliteLock lock(sqlite3_db_mutex(db));
    PageStatementBounds bounds(db);
    // Set at open too; kept off here whatever a connection was opened with.
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
    Stmt st(db, sql);
    int columns = st.ok() ? sqlite3_column_count(st) : 0;
    int compileError = sqlite3_errcode(db);
    if (st.ok() && VacuumInto(db, st)) {
      OutAppendStr(w, kNotAuthorized);
    } else if (columns > 0) {
      OutAppendStr(w, "[");
      int rc;
      bool tooLarge = false;
      for (int row = 0; (rc = sqlite3_step(st)) == SQLITE_ROW; ++row) {
        OutAppendStr(w, row == 0 ? "\n[" : ",\n[");
        for (int c = 0; c < columns; ++c) {
          if (c > 0) OutAppendStr(w, ",");
          AppendCell(w, st, c);
        }
        OutAppendStr(w, "]");
        if (w.outLen > kSqlResultLimit) {
          tooLarge = true;
          break;
        }
      }
      // An error while rows are produced leaves the rows so far, except for the bounds:
      // an interrupted statement answers the library's text, a result that could not be
      // held a status of its own.
      if (tooLarge || rc == SQLITE_TOOBIG || rc == SQLITE_NOMEM) {
        SockBufReset(w);
        status = kResultTooLarge;
      } else if (rc == SQLITE_INTERRUPT) {
        SockBufReset(w);
        OutAppendStr(w, sqlite3_errmsg(db));
      } else {
        OutAppendStr(w, "\n]");
      }
    } else if (compileError != SQLITE_OK) {
      OutAppendStr(w, sqlite3_errmsg(db));
    } else {
      int rc = st.ok() ? sqlite3_step(st) : SQLITE_MISUSE;
      if (rc == SQLITE_DONE)
        OutAppendStr(w, "OK");
      else if (rc == SQLITE_INTERRUPT)
        OutAppendStr(w, sqlite3_errmsg(db));
      else
        OutAppendStr(w, "ERR");
    }
  }
  SendResponse(w, 0, status, kMimeJson);
}
