// Per-thread readers of the open chart package (see chart_reader.h).
#include "server/handlers/chart_reader.h"

#include <sys/stat.h>

#include <cstdint>

#include "common/host_config.h"

namespace {

const char *const kSql[] = {
    "SELECT png FROM tiles WHERE zyx=?",
    // Bound values compare and compute as the same numbers written into the text would.
    "SELECT c,n,(?1-x)*(?1-x)+(?2-y)*(?2-y) AS d,x,y,r FROM gaz WHERE ?3 < x AND x < ?4"
    " AND ?5 < y AND y < ?6 ORDER BY r DESC, 3",
};
static_assert(sizeof kSql / sizeof kSql[0] == static_cast<size_t>(ChartQuery::Count));

constexpr int kCount = static_cast<int>(ChartQuery::Count);

// A second connection to the file a shared handle has open, or null (then the shared
// handle is used). Only a regular file is opened, under the path SQLite resolved for it.
DbHandle OpenOwn(sqlite3 *shared) {
  const char *path = sqlite3_db_filename(shared, "main");
  struct stat st {};
  if (!path || !*path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  DbHandle db = DbOpen(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, false);
  // The shared lock is taken once and kept, instead of a lock, a journal check and an
  // unlock on every request; a package is never written in place while it is open (an
  // install renames a new file over it).
  if (db) sqlite3_exec(db.get(), "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr);
  return db;
}

class Reader {
 public:
  Reader() = default;
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;
  ~Reader() { close(); }

  sqlite3_stmt *statement(ChartQuery q) {
    follow();
    if (!db_) return nullptr;
    int i = static_cast<int>(q);
    if (!tried_[i]) {
      tried_[i] = true;
      sqlite3_prepare_v3(db_.get(), kSql[i], -1, SQLITE_PREPARE_PERSISTENT, &stmts_[i], nullptr);
    }
    if (stmts_[i]) {
      sqlite3_reset(stmts_[i]);
      sqlite3_clear_bindings(stmts_[i]);
    }
    return stmts_[i];
  }

  void close() {
    for (int i = 0; i < kCount; ++i) {
      sqlite3_finalize(stmts_[i]);
      stmts_[i] = nullptr;
      tried_[i] = false;
    }
    db_.reset();
    valid_ = false;
  }

 private:
  // Brings the connection up to the package ChartDb names now. A connection opened while
  // the slot changed is given up and the open repeated: the file under the path may
  // already be one the slot no longer names (deleted, or replaced by an install).
  void follow() {
    if (valid_ && HostConfig.ChartDb.generation() == gen_) return;
    close();
    for (;;) {
      uint64_t gen = 0;
      DbHandle shared = HostConfig.ChartDb.get(gen);
      DbHandle db = shared ? OpenOwn(shared.get()) : nullptr;
      if (!db) db = std::move(shared);
      if (HostConfig.ChartDb.generation() == gen) {
        db_ = std::move(db);
        gen_ = gen;
        valid_ = true;
        return;
      }
    }
  }

  DbHandle db_;
  uint64_t gen_ = 0;
  bool valid_ = false;
  sqlite3_stmt *stmts_[kCount] = {};
  bool tried_[kCount] = {};
};

Reader &ThisThread() {
  thread_local Reader reader;
  return reader;
}

}  // namespace

sqlite3_stmt *ChartStatement(ChartQuery q) { return ThisThread().statement(q); }

void ChartReaderClose() { ThisThread().close(); }
