// SQL of the page run on the trip database or the open chart package; rows come back as
// a JSON array of arrays, other statements as "OK", "ERR" or the library's message.
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "common/db.h"
#include "server/handlers/handlers.h"

static const int kJsonMime = 5;

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

void HandleExecSql(SockBuf &w, sqlite3 *db, const char *sql) {
  SockBufReset(w);
  std::optional<Stmt> st;
  int columns = 0;
  bool failed = false;
  std::string message;
  if (db) {
    // The error code and text belong to the shared connection: held from the compile until
    // they are copied, no other thread can replace them in between.
    SqliteLock lock(sqlite3_db_mutex(db));
    st.emplace(db, sql);
    if (st->ok()) columns = sqlite3_column_count(*st);
    if (columns == 0 && sqlite3_errcode(db) != SQLITE_OK) {
      failed = true;
      message = sqlite3_errmsg(db);
    }
  } else {
    // No connection: the library's text for a missing connection.
    failed = true;
    message = sqlite3_errmsg(nullptr);
  }

  if (columns > 0) {
    OutAppendStr(w, "[");
    for (int row = 0; sqlite3_step(*st) == SQLITE_ROW; ++row) {
      OutAppendStr(w, row == 0 ? "\n[" : ",\n[");
      for (int c = 0; c < columns; ++c) {
        if (c > 0) OutAppendStr(w, ",");
        AppendCell(w, *st, c);
      }
      OutAppendStr(w, "]");
    }
    OutAppendStr(w, "\n]");
  } else if (failed) {
    OutAppend(w, message.data(), message.size());
  } else {
    OutAppendStr(w, st && st->ok() && sqlite3_step(*st) == SQLITE_DONE ? "OK" : "ERR");
  }
  SendResponse(w, 0, "200 OK", kJsonMime);
}
