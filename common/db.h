// Database handles shared by the server, the navigation threads and the download.
// A request never uses a connection that has been closed: it takes a shared reference
// from the slot for as long as it runs, and closing a slot only drops the slot's own
// reference; the connection is closed when the last user lets go of it.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

using DbHandle = std::shared_ptr<sqlite3>;

// Wraps an open connection (or one whose open failed, which SQLite still hands back)
// so that it is closed when the last reference goes. Null in, null out.
DbHandle DbAdopt(sqlite3 *db);

// sqlite3_open_v2 into a shared handle. With keepFailed the failed connection is kept
// (every statement on it then fails, as for the trip database); otherwise a failed
// open gives null.
DbHandle DbOpen(const char *path, int flags, bool keepFailed);

// Which file a connection has open: device and inode of the path as DbOpen found it both
// before and after the open (SQLite opens the main file inside sqlite3_open_v2). Unknown
// when the path named no file or another one by then, and for a handle DbOpen did not make.
struct DbFileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool known = false;
  // Both known and the same file.
  bool same(const DbFileId &o) const { return known && o.known && dev == o.dev && ino == o.ino; }
};
DbFileId DbFile(const DbHandle &db);

// Every change of what a slot holds (set, take, close) moves its generation on, inside
// the same lock and before the change returns: a reader that keeps its own connection to
// the slot's file compares generations to learn that it must follow.
class DbSlot {
 public:
  DbHandle get() const {
    std::lock_guard<std::mutex> lk(m_);
    return h_;
  }
  // The handle together with the generation it belongs to.
  DbHandle get(uint64_t &generation) const {
    std::lock_guard<std::mutex> lk(m_);
    generation = gen_.load(std::memory_order_relaxed);
    return h_;
  }
  uint64_t generation() const { return gen_.load(std::memory_order_acquire); }
  void set(DbHandle h) {
    DbHandle old;
    {
      std::lock_guard<std::mutex> lk(m_);
      old.swap(h_);
      h_ = std::move(h);
      gen_.fetch_add(1, std::memory_order_release);
    }
  }
  // Empties the slot and hands back what it held.
  DbHandle take() {
    std::lock_guard<std::mutex> lk(m_);
    DbHandle old;
    old.swap(h_);
    gen_.fetch_add(1, std::memory_order_release);
    return old;
  }
  void close() { take(); }
  explicit operator bool() const {
    std::lock_guard<std::mutex> lk(m_);
    return h_ != nullptr;
  }

 private:
  mutable std::mutex m_;
  DbHandle h_;
  std::atomic<uint64_t> gen_{0};
};

// Owns a prepared statement for the length of one function.
class Stmt {
 public:
  Stmt() = default;
  Stmt(sqlite3 *db, const char *sql, int len = -1) { rc_ = sqlite3_prepare_v2(db, sql, len, &s_, nullptr); }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;
  sqlite3_stmt *get() const { return s_; }
  operator sqlite3_stmt *() const { return s_; }
  int rc() const { return rc_; }
  bool ok() const { return s_ != nullptr; }

 private:
  sqlite3_stmt *s_ = nullptr;
  int rc_ = SQLITE_MISUSE;
};

// Holds an SQLite mutex for a scope; a null mutex is not taken, as SQLite does.
class SqliteLock {
 public:
  explicit SqliteLock(sqlite3_mutex *m) : m_(m) { sqlite3_mutex_enter(m_); }
  ~SqliteLock() { sqlite3_mutex_leave(m_); }
  SqliteLock(const SqliteLock &) = delete;
  SqliteLock &operator=(const SqliteLock &) = delete;

 private:
  sqlite3_mutex *m_;
};

// How long one statement of the page may run, and how long the host's own statements wait
// for a lock the page's connection holds: its statement's time and the moment its
// transaction takes to be rolled back.
constexpr int kPageStatementMs = 5000;
constexpr int kHostBusyMs = kPageStatementMs + 1000;
// How long the host's own statements run at most. They read and write only real tables
// (no views, triggers or virtual tables run on the host's connections), so only a schema
// made to be slow (generated columns, expression indexes) ever meets this.
constexpr int kHostStatementMs = 10000;

// Opens a connection of the host's own (DbOpen) and hardens it: the file's schema may come
// from the page's SQL or from a package maker, so no view, trigger or virtual table runs
// on it and nothing in the schema is trusted (defensive mode, no extension loading, no
// installing of tokenizers, reduced limits); its statements end at kHostStatementMs.
DbHandle DbOpenHost(const char *path, int flags, bool keepFailed);

// The file name a handle was opened with by DbOpen (empty for another one).
const char *DbPath(const DbHandle &db);

// Sets the calling thread's deadline for the host's statements for a scope, unless an
// outer scope has set one already.
class HostStatementBound {
 public:
  HostStatementBound();
  ~HostStatementBound();
  HostStatementBound(const HostStatementBound &) = delete;
  HostStatementBound &operator=(const HostStatementBound &) = delete;

 private:
  int64_t old_;
};

// The host's statements on a connection for the length of a scope: they run one after
// another under the connection's mutex (so that another thread's statement never sees a
// write half done, and a read sees one state of the tables), within kHostStatementMs in
// all. A null connection is not locked.
class ConnectionLock {
 public:
  explicit ConnectionLock(sqlite3 *db);
  ~ConnectionLock();
  ConnectionLock(const ConnectionLock &) = delete;
  ConnectionLock &operator=(const ConnectionLock &) = delete;

 private:
  HostStatementBound bound_;
  sqlite3 *db_;
};
