// Test support: statements run on a connection and their query plans.
#include "tests/support/query_plan.h"

#include <mutex>

#include "common/db.h"

namespace testing_support {

namespace {

struct Seen {
  std::mutex m;
  std::vector<std::string> texts;
};

int OnTrace(unsigned type, void *context, void *, void *x) {
  if (type != SQLITE_TRACE_STMT || !x) return 0;
  Seen &seen = *static_cast<Seen *>(context);
  std::lock_guard<std::mutex> lk(seen.m);
  seen.texts.emplace_back(static_cast<const char *>(x));
  return 0;
}

}  // namespace

std::vector<std::string> StatementsRun(sqlite3 *db, const std::function<void()> &action) {
  Seen seen;
  sqlite3_trace_v2(db, SQLITE_TRACE_STMT, OnTrace, &seen);
  action();
  sqlite3_trace_v2(db, 0, nullptr, nullptr);
  std::lock_guard<std::mutex> lk(seen.m);
  return seen.texts;
}

std::string StatementWith(const std::vector<std::string> &texts, const std::string &piece) {
  for (const std::string &t : texts)
    if (t.find(piece) != std::string::npos) return t;
  return {};
}

std::vector<std::string> QueryPlan(sqlite3 *db, const std::string &sql) {
  std::vector<std::string> lines;
  Stmt s(db, ("EXPLAIN QUERY PLAN " + sql).c_str());
  if (!s.ok()) return {std::string("ERROR ") + sqlite3_errmsg(db)};
  while (sqlite3_step(s) == SQLITE_ROW) lines.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(s, 3)));
  return lines;
}

long PlanLines(const std::vector<std::string> &plan, const std::string &start, const std::string &end) {
  long n = 0;
  for (const std::string &l : plan)
    if (l.rfind(start, 0) == 0 && l.size() >= end.size() && l.compare(l.size() - end.size(), end.size(), end) == 0)
      ++n;
  return n;
}

}  // namespace testing_support
