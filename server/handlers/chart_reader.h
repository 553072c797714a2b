// The open chart package as the calling connection thread reads it.
#pragma once

#include <sqlite3.h>

#include <cstdint>

#include "common/db.h"

// Statements of the chart reader, prepared once per connection to the package.
enum class ChartQuery { Tile, Gazetteer, Count };

// Each thread reads through its own read-only connection to the file of the open package,
// without SQLite's mutex, so that tile requests on several connections do not queue on
// one. Every request compares ChartDb's generation with the one the connection was opened
// for, and opens anew when the package was switched, closed, deleted or replaced since.
// The own connection is used only while it reads the very file ChartDb has open (the same
// device and inode) and reads it without error; otherwise (a database without a file, a
// path that is no longer a regular file or now names another one, a journal mode the
// own connection cannot read) the shared handle answers.
//
// One statement for the length of one request, reset when it ends. A connection that keeps
// its lock on the package (see chart_reader.cpp) keeps its read open between requests
// too; any other reads only while a request runs. Null (ok() false) when no package is
// open or the statement does not prepare (a package without the table).
class ChartStmt {
 public:
  explicit ChartStmt(ChartQuery q);
  ~ChartStmt() { sqlite3_reset(s_); }
  ChartStmt(const ChartStmt &) = delete;
  ChartStmt &operator=(const ChartStmt &) = delete;
  operator sqlite3_stmt *() const { return s_; }
  bool ok() const { return s_ != nullptr; }

  // Binds parameter i (from 1) and keeps the value for a move to the shared handle.
  void bind(int i, sqlite3_int64 value);
  // sqlite3_step. When the thread's own connection fails (also when a map it reads
  // through met a file cut short), the statement moves to the shared handle and goes on
  // from the same row, so that an answer never depends on which of the two read it.
  int step();

 private:
  static constexpr int kMaxBind = 6;
  HostStatementBound deadline_;  // first: it holds while the statement is prepared too
  ChartQuery q_;
  uint64_t faults_;  // map faults in the process when the statement began
  sqlite3_stmt *s_;
  bool own_ = false;
  sqlite3_int64 values_[kMaxBind] = {};
  int bound_ = 0;
  uint64_t rows_ = 0;
};

// Closes the calling thread's connection now (it is closed at thread end anyway).
void ChartReaderClose();
