// SQL of the page run on the trip database or the open chart package; rows come back as
// a JSON array of arrays, other statements as "OK", "ERR" or the library's message.
//
// The page's statements run on connections of their own to those files, never on the
// host's: the TEMP objects, connection pragmas and temporary memory the page leaves
// behind stay on its connection, and a transaction it leaves open is rolled back when its
// request ends. Its statements reach only the database they are sent to (no ATTACH or
// DETACH, no VACUUM INTO, no pragma naming a folder); they cannot change settings of the
// whole process or the durability of the file; each runs for a bounded time and its
// result has a bounded size; and each connection holds a bounded amount of memory in all.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/db.h"
#include "common/host_config.h"
#include "common/json_escape.h"
#include "common/sqlite_memory.h"
#include "server/handlers/handlers.h"

// Largest text or blob a statement of the page may make, and largest answer.
static const int kSqlValueLimit = 32 * 1024 * 1024;
static const size_t kSqlResultLimit = 64 * 1024 * 1024;
// Memory one connection of the page's may hold in all: its caches, schema and TEMP
// objects together with what its statement takes. A row is built whole before it is
// handed out: 36 copies of one value at the value bound are over a gigabyte before the
// answer bound can see any.
static const int64_t kPageMemoryLimit = 256LL * 1024 * 1024;
// The library's text for a statement its authorizer refuses while compiling.
static const char kNotAuthorized[] = "not authorized";

// Room in the answer for count more bytes.
static bool Room(const SockBuf &w, size_t count) { return static_cast<size_t>(w.outLen) + count <= kSqlResultLimit; }

// Appends text unless the answer would pass its bound; false then.
static bool Put(SockBuf &w, const char *text, size_t n) {
  if (!Room(w, n)) return false;
  OutAppend(w, text, n);
  return !w.overBudget;
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
      return !w.overBudget;
    }
    default:
      return Put(w, "null");
  }
}

static bool FolderPragma(const char *name) {
  return name && (sqlite3_stricmp(name, "temp_store_directory") == 0 || sqlite3_stricmp(name, "data_store_directory") == 0);
}

// Pragmas the page may read but not set: the heap limits hold for every connection of
// the process, journal, sync, locking and mapping modes decide whether the trip file
// survives a crash (and a mapping whether a package cut short from outside ends the
// process), TEMP tables stay in files, out of the process's memory, and a wait for a
// lock ends with the statement's time bound.
static bool ProcessOrDurabilityPragma(const char *name) {
  static const char *const kNames[] = {"hard_heap_limit", "soft_heap_limit", "journal_mode", "synchronous",
                                       "locking_mode",    "mmap_size",       "temp_store",   "busy_timeout"};
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

using Clock = std::chrono::steady_clock;

// One connection of the page's, with the account of all it holds and the deadline of the
// statement it runs (written and read under the connection's mutex). Every use of it runs
// charged to its account, its close too.
struct PageConn {
  MemoryAccount account{kPageMemoryLimit};
  DbHandle db;
  Clock::time_point deadline;
  // It holds too much even after giving back its cache: the next request opens anew.
  std::atomic<bool> spent{false};

  PageConn() = default;
  PageConn(const PageConn &) = delete;
  PageConn &operator=(const PageConn &) = delete;
  ~PageConn() {
    ChargeScope charge(&account);
    db.reset();
  }
};

int PastDeadline(void *conn) { return Clock::now() > static_cast<PageConn *>(conn)->deadline; }

// A lock the host's connection holds is waited for until the statement's deadline.
int WaitForLock(void *conn, int) {
  if (Clock::now() + std::chrono::milliseconds(2) > static_cast<PageConn *>(conn)->deadline) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return 1;
}

void ConfigurePageConnection(PageConn &c) {
  sqlite3 *db = c.db.get();
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kSqlValueLimit);
  // Sorter threads would allocate outside the statement's account.
  sqlite3_limit(db, SQLITE_LIMIT_WORKER_THREADS, 0);
  sqlite3_set_authorizer(db, PageAuthorizer, nullptr);
  sqlite3_progress_handler(db, 1000, PastDeadline, &c);
  sqlite3_busy_handler(db, WaitForLock, &c);
}

// The page's connection to the file a slot of the host's has open, opened at first use
// and again whenever the slot changes (a package switched, closed or installed; the
// database step run again). Only the very file the host's connection has open is taken.
class PageSlot {
 public:
  PageSlot(DbSlot &host, int flags) : host_(host), flags_(flags) {}

  // The connection, or null: the slot is empty (*cannotOpen false) or its file cannot be
  // opened again (true).
  std::shared_ptr<PageConn> get(bool *cannotOpen) {
    *cannotOpen = false;
    uint64_t gen = 0;
    DbHandle host = host_.get(gen);
    std::lock_guard<std::mutex> lk(m_);
    if (valid_ && gen_ == gen && (!conn_ || !conn_->spent)) return conn_;
    conn_.reset();
    valid_ = false;
    if (host) {
      auto c = std::make_shared<PageConn>();
      ChargeScope charge(&c->account);
      const DbFileId file = DbFile(host);
      const char *path = DbPath(host);
      // A file the host could not open is opened as the host did, and fails as it did.
      if (*path) c->db = DbOpen(path, file.known ? flags_ : flags_ | SQLITE_OPEN_CREATE, true);
      if (!c->db || (file.known && !DbFile(c->db).same(file))) {
        *cannotOpen = true;
        return nullptr;
      }
      ConfigurePageConnection(*c);
      conn_ = std::move(c);
    }
    gen_ = gen;
    valid_ = true;
    return conn_;
  }

 private:
  DbSlot &host_;
  const int flags_;
  std::mutex m_;
  std::shared_ptr<PageConn> conn_;
  uint64_t gen_ = 0;
  bool valid_ = false;
};

PageSlot tripPage(HostConfig.TripDb, SQLITE_OPEN_READWRITE);
PageSlot chartPage(HostConfig.ChartDb, SQLITE_OPEN_READONLY);

// Runs the statement on the page's connection, its mutex held, and answers into the
// writer; the status of the answer.
const char *RunStatement(SockBuf &w, sqlite3 *db, const char *sql) {
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
      return ResultTooLarge;
    }
    if (rc == SQLITE_INTERRUPT) {
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
  return "200 OK";
}

// What the page's request leaves is put in order: an open transaction is rolled back, and
// a connection that holds much gives back its cache, or is given up when that is not
// enough.
void EndRequest(PageConn &c) {
  sqlite3 *db = c.db.get();
  c.deadline = Clock::now() + std::chrono::milliseconds(kPageStatementMs);
  if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  const int64_t high = c.account.limit() / 4 * 3;
  if (c.account.held() > high) sqlite3_db_release_memory(db);
  if (c.account.held() > high) c.spent = true;
}

}  // namespace

void HandleExecSql(SockBuf &w, PageDatabase which, const char *sql) {
  SockBufReset(w);
  bool cannotOpen = false;
  std::shared_ptr<PageConn> conn = (which == PageDatabase::Trip ? tripPage : chartPage).get(&cannotOpen);
  if (!conn) {
    // No package open: the library's text for a missing connection.
    OutAppendStr(w, cannotOpen ? sqlite3_errstr(SQLITE_CANTOPEN) : sqlite3_errmsg(nullptr));
    SendResponse(w, 0, "200 OK", kMimeJson);
    return;
  }
  const char *status;
  {
    sqlite3 *db = conn->db.get();
    // The whole statement runs under the connection's (recursive) mutex, so that its
    // error code and text cannot be replaced by another request's.
    SqliteLock lock(sqlite3_db_mutex(db));
    ChargeScope charge(&conn->account);
    conn->deadline = Clock::now() + std::chrono::milliseconds(kPageStatementMs);
    status = RunStatement(w, db, sql);
    EndRequest(*conn);
  }
  SendResponse(w, 0, status, kMimeJson);
}
