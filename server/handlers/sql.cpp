// SQL of the page run on the trip database or the open chart package; rows come back as
// a JSON array of arrays, other statements as "OK", "ERR" or the library's message.
//
// The page's statement reaches only the database it is sent to: no ATTACH or DETACH, no
// VACUUM INTO, no pragma naming a folder; it cannot change settings of the whole process
// or the durability of the file; it runs for a bounded time, holds bounded memory and its
// result has a bounded size. Those bounds are set on the shared connection for the one
// statement and taken off again before its mutex is left, so the server's own statements
// never meet them.
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "common/db.h"
#include "common/json_escape.h"
#include "server/handlers/handlers.h"

// The page's statements are small; one that runs longer is stopped ("interrupted").
static const int kSqlTimeLimitMs = 5000;
// Largest text or blob a statement of the page may make, and largest answer.
static const int kSqlValueLimit = 32 * 1024 * 1024;
static const size_t kSqlResultLimit = 64 * 1024 * 1024;
// Memory the library may take for one statement of the page, on top of what the thread
// held when it began. A row is built whole before it is handed out: 36 copies of one
// value at the value bound are over a gigabyte before the answer bound can see any.
static const sqlite3_int64 kSqlMemoryLimit = 256LL * 1024 * 1024;
static const char kResultTooLarge[] = "500 result too large";
// The library's text for a statement its authorizer refuses while compiling.
static const char kNotAuthorized[] = "not authorized";

namespace {

// The library's allocator, counted per thread. A statement runs on the thread that steps
// it, so the page's statement can be held to its own memory bound while other threads
// (the host, other connections) allocate without one.
sqlite3_mem_methods libraryMemory;
thread_local sqlite3_int64 threadHeld = 0;    // net bytes allocated (less freed) on this thread
thread_local sqlite3_int64 threadLimit = -1;  // largest threadHeld allowed; -1: none

bool OverLimit(sqlite3_int64 held) { return threadLimit >= 0 && held > threadLimit; }

void *CountedMalloc(int n) {
  if (OverLimit(threadHeld + libraryMemory.xRoundup(n))) return nullptr;
  void *p = libraryMemory.xMalloc(n);
  if (p) threadHeld += libraryMemory.xSize(p);
  return p;
}

void CountedFree(void *p) {
  if (p) threadHeld -= libraryMemory.xSize(p);
  libraryMemory.xFree(p);
}

void *CountedRealloc(void *p, int n) {
  const int old = p ? libraryMemory.xSize(p) : 0;
  if (OverLimit(threadHeld - old + libraryMemory.xRoundup(n))) return nullptr;
  void *q = libraryMemory.xRealloc(p, n);
  if (q) threadHeld += libraryMemory.xSize(q) - old;
  return q;
}

// The library takes an allocator only before it starts, so this runs at program start.
// Should it be too late, the memory bound is missing and everything else works.
[[maybe_unused]] const bool countedAllocator = [] {
  if (sqlite3_config(SQLITE_CONFIG_GETMALLOC, &libraryMemory) != SQLITE_OK || !libraryMemory.xMalloc) return false;
  sqlite3_mem_methods counted = libraryMemory;
  counted.xMalloc = CountedMalloc;
  counted.xFree = CountedFree;
  counted.xRealloc = CountedRealloc;
  return sqlite3_config(SQLITE_CONFIG_MALLOC, &counted) == SQLITE_OK;
}();

}  // namespace

// Room in the answer for count more bytes.
static bool Room(const SockBuf &w, size_t count) { return static_cast<size_t>(w.outLen) + count <= kSqlResultLimit; }

// Appends text unless the answer would pass its bound; false then.
static bool Put(SockBuf &w, const char *text, size_t n) {
  if (!Room(w, n)) return false;
  OutAppend(w, text, n);
  return true;
}

static bool Put(SockBuf &w, const char *text) { return Put(w, text, std::strlen(text)); }

// Length of the bytes once escaped for a JSON string.
static size_t JsonLength(const unsigned char *t, size_t n) {
  size_t len = n;
  for (size_t i = 0; i < n; ++i)
    if (JsonEscapeLetter(t[i])) ++len;
  return len;
}

// Appends one cell; false, with nothing appended, when it does not fit the answer bound.
static bool AppendCell(SockBuf &w, sqlite3_stmt *st, int col) {
  switch (sqlite3_column_type(st, col)) {
    case SQLITE_INTEGER: {
      const unsigned char *t = sqlite3_column_text(st, col);
      return Put(w, reinterpret_cast<const char *>(t), static_cast<size_t>(sqlite3_column_bytes(st, col)));
    }
    case SQLITE_FLOAT: {
      double v = sqlite3_column_double(st, col);
      // "%lf" of the largest double is 316 characters; JSON has no infinities.
      if (!std::isfinite(v)) return Put(w, "null");
      char num[400];
      int n = std::snprintf(num, sizeof num, "%lf", v);
      return Put(w, num, static_cast<size_t>(n));
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const unsigned char *t = sqlite3_column_text(st, col);
      const size_t n = static_cast<size_t>(sqlite3_column_bytes(st, col));
      // Escaping at most doubles the bytes; they are counted only when that matters.
      if (!Room(w, n + 2) || (!Room(w, 2 * n + 2) && !Room(w, JsonLength(t, n) + 2))) return false;
      OutAppendStr(w, "\"");
      OutAppendJson(w, t, n);
      OutAppendStr(w, "\"");
      return true;
    }
    default:
      return Put(w, "null");
  }
}

static bool FolderPragma(const char *name) {
  return name && (sqlite3_stricmp(name, "temp_store_directory") == 0 || sqlite3_stricmp(name, "data_store_directory") == 0);
}

// Pragmas the page may read but not set: the heap limits hold for every connection of
// the process, and journal, sync, locking and mapping modes decide whether the trip
// file survives a crash.
static bool ProcessOrDurabilityPragma(const char *name) {
  static const char *const kNames[] = {"hard_heap_limit", "soft_heap_limit", "journal_mode",
                                       "synchronous",     "locking_mode",    "mmap_size"};
  if (!name) return false;
  for (const char *n : kNames)
    if (sqlite3_stricmp(name, n) == 0) return true;
  return false;
}

static int PageAuthorizer(void *, int action, const char *a, const char *b, const char *, const char *) {
  // The one attach allowed is of a private temporary database (no file name): plain
  // VACUUM makes its copy in one.
  if (action == SQLITE_ATTACH && a && !*a) return SQLITE_OK;
  if (action == SQLITE_ATTACH || action == SQLITE_DETACH) return SQLITE_DENY;
  if (action == SQLITE_PRAGMA && FolderPragma(a)) return SQLITE_DENY;
  // b is the value being set; a pragma that only reads has none.
  if (action == SQLITE_PRAGMA && b && ProcessOrDurabilityPragma(a)) return SQLITE_DENY;
  // Hands out the address of a tokenizer in the library, and with two arguments would
  // install one from an address.
  if (action == SQLITE_FUNCTION && b && sqlite3_stricmp(b, "fts3_tokenizer") == 0) return SQLITE_DENY;
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
    threadLimit = threadHeld + kSqlMemoryLimit;
  }
  ~PageStatementBounds() {
    threadLimit = -1;
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
      int rc = SQLITE_OK;
      bool tooLarge = false;
      // The answer bound is checked before every piece, so no answer grows past it.
      for (int row = 0; !tooLarge && (rc = sqlite3_step(st)) == SQLITE_ROW; ++row) {
        tooLarge = !Put(w, row == 0 ? "\n[" : ",\n[");
        for (int c = 0; c < columns && !tooLarge; ++c) tooLarge = (c > 0 && !Put(w, ",")) || !AppendCell(w, st, c);
        tooLarge = tooLarge || !Put(w, "]");
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
