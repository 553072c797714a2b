// The open chart package as the calling connection thread reads it.
#pragma once

#include <sqlite3.h>

// Statements of the chart reader, prepared once per connection to the package.
enum class ChartQuery { Tile, Gazetteer, Count };

// The calling thread's prepared statement for the package ChartDb names now, reset and
// with no bindings; null when no package is open or the statement does not prepare (a
// package without the table). Valid until the thread's next call.
//
// Each thread reads through its own read-only connection to the file of the open package,
// without SQLite's mutex, so that tile requests on several connections do not queue on
// one. Every call compares ChartDb's generation with the one the
// connection was opened for, and opens anew when the package was switched, closed,
// deleted or replaced since. Where the file cannot be opened again (a database without
// a file, or a path that is no longer a regular file) the shared handle is used.
sqlite3_stmt *ChartStatement(ChartQuery q);

// A statement for the length of one request, reset when it ends so that no read
// stays open on the package between requests.
class ChartStmt {
 public:
  explicit ChartStmt(ChartQuery q) : s_(ChartStatement(q)) {}
  ~ChartStmt() { sqlite3_reset(s_); }
  ChartStmt(const ChartStmt &) = delete;
  ChartStmt &operator=(const ChartStmt &) = delete;
  operator sqlite3_stmt *() const { return s_; }
  bool ok() const { return s_ != nullptr; }

 private:
  sqlite3_stmt *s_;
};

// Closes the calling thread's connection now (it is closed at thread end anyway).
void ChartReaderClose();
