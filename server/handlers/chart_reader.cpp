// Per-thread readers of the open chart package (see chart_reader.h).
#include "server/handlers/chart_reader.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/host_config.h"
#include "common/sqlite_map.h"

namespace {

const char *const kSql[] = {
    "SELECT png FROM tiles WHERE zyx=?",
    // Bound values compare and compute as the same numbers written into the text would.
    "SELECT c,n,(?1-x)*(?1-x)+(?2-y)*(?2-y) AS d,x,y,r FROM gaz WHERE ?3 < x AND x < ?4"
    " AND ?5 < y AND y < ?6 ORDER BY r DESC, 3",
};
static_assert(sizeof kSql / sizeof kSql[0] == static_cast<size_t>(ChartQuery::Count));

constexpr int kCount = static_cast<int>(ChartQuery::Count);

// True when the connection can read the package's schema.
bool Reads(sqlite3 *db) {
  sqlite3_stmt *st = nullptr;
  bool ok = sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW;
  sqlite3_finalize(st);
  return ok;
}

// What a reader's own connection keeps of the package in memory. Where the map guard is
// in place the file is read through a map, which all readers of the file share: the
// kernel's one copy of its pages, read without a system call and without a copy into a
// page cache of each reader. The map is as large as the library allows (2 GiB in Debian's
// build); the page cache then holds only what it does not cover, frames of a WAL package
// and pages past the map. There is a reader for each connection thread, up to 256, so the
// page cache is bounded at 1 MiB each, 256 MiB in all.
constexpr sqlite3_int64 kReaderMapBytes = sqlite3_int64{1} << 40;  // lowered to the library's limit
constexpr int kReaderCacheKiB = 1024;

// The wal-index header of a connection to a WAL package: the first 48 bytes of its -shm,
// as the library has mapped them. Every commit rewrites it. Null for any other journal
// mode, and when the library does not keep the -shm in a map.
const volatile uint32_t *WalIndexHeader(sqlite3 *db) {
  sqlite3_stmt *st = nullptr;
  bool wal = sqlite3_prepare_v2(db, "PRAGMA main.journal_mode", -1, &st, nullptr) == SQLITE_OK &&
             sqlite3_step(st) == SQLITE_ROW &&
             std::strcmp(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)), "wal") == 0;
  sqlite3_finalize(st);
  sqlite3_file *f = nullptr;
  if (!wal || sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &f) != SQLITE_OK || !f || !f->pMethods ||
      f->pMethods->iVersion < 2 || !f->pMethods->xShmMap)
    return nullptr;
  // The first region, which the read just made has mapped already.
  volatile void *p = nullptr;
  if (f->pMethods->xShmMap(f, 0, 32768, 0, &p) != SQLITE_OK) return nullptr;
  return static_cast<const volatile uint32_t *>(p);
}

// A second connection to the file a shared handle has open, or null (then the shared
// handle is used). Only a regular file is opened, under the path SQLite resolved for it,
// and only one that is still the file the shared handle opened. *exclusiveOut tells
// whether it keeps its lock (below).
DbHandle OpenOwn(const DbHandle &shared, bool *exclusiveOut) {
  const char *path = sqlite3_db_filename(shared.get(), "main");
  struct stat st {};
  if (!path || !*path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  // The shared lock is taken once and kept, instead of a lock, a journal check and an
  // unlock on every request; a package is never written in place while it is open (an
  // install renames a new file over it). A WAL package cannot be read that way by a
  // read-only connection: it is read with the usual locking, through its -shm.
  for (bool exclusive : {true, false}) {
    DbHandle db = DbOpenHost(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, false);
    if (!db || !DbFile(db).same(DbFile(shared))) return nullptr;
    sqlite3 *d = db.get();
    if (exclusive) sqlite3_exec(d, "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr);
    sqlite3_exec(d, ("PRAGMA cache_size=-" + std::to_string(kReaderCacheKiB)).c_str(), nullptr, nullptr, nullptr);
    if (LibraryMapsGuarded())
      sqlite3_exec(d, ("PRAGMA mmap_size=" + std::to_string(kReaderMapBytes)).c_str(), nullptr, nullptr, nullptr);
    const uint64_t faults = LibraryMapFaults();
    if (Reads(d) && LibraryMapFaults() == faults) {
      *exclusiveOut = exclusive;
      return db;
    }
  }
  return nullptr;
}

// One connection with its statements, each prepared at its first use.
struct Conn {
  DbHandle db;
  sqlite3_stmt *stmts[kCount] = {};
  bool tried[kCount] = {};
  // The own connection keeps its read open between requests, so that a request neither
  // takes nor lets go of a lock on the package, and a statement that ends inside a
  // transaction does not pass through a mutex of the library's that all connections
  // share. Under its kept lock for good: nothing can change the file under that lock. On
  // a WAL package until the wal-index header changes: another process has committed,
  // and the next request begins a new read that sees it.
  bool keptLock = false;
  const volatile uint32_t *walHeader = nullptr;
  uint32_t readHeader[12] = {};  // the header as it was before the read began

  Conn() = default;
  Conn(const Conn &) = delete;
  Conn &operator=(const Conn &) = delete;
  ~Conn() { close(); }

  sqlite3_stmt *statement(ChartQuery q) {
    if (!db) return nullptr;
    keepRead();
    int i = static_cast<int>(q);
    if (!tried[i]) {
      tried[i] = true;
      sqlite3_prepare_v3(db.get(), kSql[i], -1, SQLITE_PREPARE_PERSISTENT, &stmts[i], nullptr);
    }
    if (stmts[i]) {
      sqlite3_reset(stmts[i]);
      sqlite3_clear_bindings(stmts[i]);
    }
    return stmts[i];
  }

  void keepRead() {
    sqlite3 *d = db.get();
    if (!keptLock && !walHeader) return;
    uint32_t now[12];
    if (walHeader) {
      for (int i = 0; i < 12; ++i) now[i] = walHeader[i];
      if (!sqlite3_get_autocommit(d) && std::memcmp(now, readHeader, sizeof now) != 0)
        sqlite3_exec(d, "COMMIT", nullptr, nullptr, nullptr);
    }
    if (!sqlite3_get_autocommit(d)) return;
    // Taken before the read begins: a commit in between only makes the next request begin anew.
    if (walHeader) std::memcpy(readHeader, now, sizeof now);
    sqlite3_exec(d, "BEGIN", nullptr, nullptr, nullptr);
  }

  void close() {
    for (int i = 0; i < kCount; ++i) {
      sqlite3_finalize(stmts[i]);
      stmts[i] = nullptr;
      tried[i] = false;
    }
    db.reset();
    keptLock = false;
    walHeader = nullptr;
  }
};

class Reader {
 public:
  // The own connection's statement, else the shared handle's; *own tells which.
  sqlite3_stmt *statement(ChartQuery q, bool *own) {
    follow();
    sqlite3_stmt *s = own_.statement(q);
    *own = s != nullptr;
    return s ? s : shared_.statement(q);
  }

  // Gives the own connection up until the package changes; the shared handle's statement.
  sqlite3_stmt *fallback(ChartQuery q) {
    own_.close();
    return shared_.statement(q);
  }

  void close() {
    own_.close();
    shared_.close();
    valid_ = false;
  }

 private:
  // Brings the connections up to the package ChartDb names now. A connection opened while
  // the slot changed is given up and the open repeated: the file under the path may
  // already be one the slot no longer names (deleted, or replaced by an install).
  void follow() {
    // A fault on a map anywhere may have left zeros in the map this connection shares with
    // others: it is opened anew, on a map that has none.
    if (valid_ && HostConfig.ChartDb.generation() == gen_ && (!own_.db || LibraryMapFaults() == faults_)) return;
    close();
    faults_ = LibraryMapFaults();
    for (;;) {
      uint64_t gen = 0;
      DbHandle shared = HostConfig.ChartDb.get(gen);
      bool exclusive = false;
      DbHandle own = shared ? OpenOwn(shared, &exclusive) : nullptr;
      if (HostConfig.ChartDb.generation() == gen) {
        own_.db = std::move(own);
        own_.keptLock = exclusive;
        own_.walHeader = own_.db && !exclusive ? WalIndexHeader(own_.db.get()) : nullptr;
        shared_.db = std::move(shared);
        gen_ = gen;
        valid_ = true;
        return;
      }
    }
  }

  Conn own_, shared_;
  uint64_t gen_ = 0;
  uint64_t faults_ = 0;  // map faults in the process before the own connection opened
  bool valid_ = false;
};

Reader &ThisThread() {
  thread_local Reader reader;
  return reader;
}

}  // namespace

ChartStmt::ChartStmt(ChartQuery q) : q_(q), faults_(LibraryMapFaults()), s_(ThisThread().statement(q, &own_)) {}

void ChartStmt::bind(int i, sqlite3_int64 value) {
  if (i < 1 || i > kMaxBind) return;
  values_[i - 1] = value;
  if (i > bound_) bound_ = i;
  sqlite3_bind_int64(s_, i, value);
}

int ChartStmt::step() {
  int rc = sqlite3_step(s_);
  // A fault on a map while it read: the row may hold zeros in place of the file's bytes.
  if (own_ && LibraryMapFaults() != faults_) rc = SQLITE_IOERR;
  if (rc == SQLITE_ROW) {
    ++rows_;
    return rc;
  }
  if (rc == SQLITE_DONE || !own_) return rc;
  // The same file through the shared handle gives the same rows in the same order: the
  // ones already handed out are stepped over.
  own_ = false;
  s_ = ThisThread().fallback(q_);
  if (!s_) return rc;
  for (int i = 0; i < bound_; ++i) sqlite3_bind_int64(s_, i + 1, values_[i]);
  for (uint64_t n = 0; n < rows_; ++n)
    if ((rc = sqlite3_step(s_)) != SQLITE_ROW) return rc;
  return step();
}

void ChartReaderClose() { ThisThread().close(); }
