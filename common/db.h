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

// The host's own writes on a connection that the page's SQL reaches too. Triggers are off
// for the scope, so that none the page has left (an endless one holds the connection, and
// every later request with it, for ever) runs inside them; the schema of the host's
// tables defines none. The connection's mutex is held for the scope: the page's statement
// runs under the same mutex, so it never runs while they are off.
class HostWriteScope {
 public:
  explicit HostWriteScope(sqlite3 *db);
  ~HostWriteScope();
  HostWriteScope(const HostWriteScope &) = delete;
  HostWriteScope &operator=(const HostWriteScope &) = delete;

 private:
  sqlite3 *db_;
  bool switched_ = false;
};
