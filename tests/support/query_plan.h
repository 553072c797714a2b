// Test support: which statements the program runs on a connection, and how SQLite plans
// them.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// The SQL texts of the statements the connection began to run, from any thread, while
// the action ran.
std::vector<std::string> StatementsRun(sqlite3 *db, const std::function<void()> &action);

// The first of the texts that contains the piece; empty when none does.
std::string StatementWith(const std::vector<std::string> &texts, const std::string &piece);

// The detail lines of EXPLAIN QUERY PLAN for the statement, in order ("SEARCH log USING
// INDEX i_log_ts (ts>?)"); one "ERROR ..." line when it does not compile.
std::vector<std::string> QueryPlan(sqlite3 *db, const std::string &sql);

// How many plan lines begin with start and end with end.
long PlanLines(const std::vector<std::string> &plan, const std::string &start, const std::string &end = "");

}  // namespace testing_support
