// The SQL routes: document shapes, OK/ERR, library messages, escaping.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <string>

#include "tests/support/sqlfile.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

const TestEnv &Env() {
  static TestEnv env;
  static bool started = (StartTestServer(env), true);
  (void)started;
  return env;
}

// Percent-encodes what a request line cannot carry.
std::string Encode(const std::string &s) {
  std::string out;
  char hex[4];
  for (unsigned char c : s) {
    if (c <= ' ' || c == '%' || c == '?' || c == '#' || c >= 0x7F) {
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The SQL sent both ways to the trip database; both answers must agree.
std::string TripSql(const std::string &sql) {
  auto post = HttpPost("/UexecSql", sql);
  EXPECT_TRUE(post) << sql;
  if (!post) return "";
  EXPECT_EQ(post->statusLine, "HTTP/1.1 200 OK") << sql;
  EXPECT_EQ(post->header("Content-Type"), "application/json; charset=UTF-8") << sql;
  EXPECT_EQ(post->header("Cache-Control"), "no-cache") << sql;
  return post->body;
}

std::string LibraryMessage(const std::string &sql) {
  sqlite3 *db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  std::string msg = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  sqlite3_close(db);
  return msg;
}

TEST(ExecSql, DocumentShapes) {
  Env();
  EXPECT_EQ(TripSql("CREATE TABLE t (a INTEGER PRIMARY KEY, b TEXT, c)"), "OK");
  EXPECT_EQ(TripSql("SELECT * FROM t"), "[\n]");
  EXPECT_EQ(TripSql("INSERT INTO t VALUES (1, 'a', NULL)"), "OK");
  EXPECT_EQ(TripSql("INSERT INTO t VALUES (2, 'b', 1.5)"), "OK");
  EXPECT_EQ(TripSql("SELECT * FROM t ORDER BY a"), "[\n[1,\"a\",null],\n[2,\"b\",1.500000]\n]");
  struct {
    const char *sql, *body;
  } cases[] = {
      {"SELECT -7, 2.0, -0.25, x'41'", "[\n[-7,2.000000,-0.250000,\"A\"]\n]"},
      {"SELECT 9223372036854775807", "[\n[9223372036854775807]\n]"},
      {"SELECT 1e999, -1e999", "[\n[null,null]\n]"},  // no infinities in JSON
      {"SELECT 'q\"b\\s/l\nn''a\tt'", "[\n[\"q\\\"b\\\\s\\/l\\nn\\'a\\tt\"]\n]"},
      {"SELECT a FROM t WHERE a > 5", "[\n]"},
      {"INSERT INTO t VALUES (1, 'dup', 0)", "ERR"},  // constraint
      {"UPDATE t SET b='c' WHERE a=2", "OK"},
      {"   ", "ERR"},
      {"-- only a comment", "ERR"},
      {"INSERT INTO t VALUES (3, 'x', 0); INSERT INTO t VALUES (4, 'y', 0)", "OK"},
  };
  for (const auto &c : cases) EXPECT_EQ(TripSql(c.sql), c.body) << c.sql;
  // Only the first of two statements ran.
  EXPECT_EQ(TripSql("SELECT a FROM t WHERE a > 2"), "[\n[3]\n]");
  // The largest double in fixed notation, whole.
  std::string big = TripSql("SELECT 1.7976931348623157e308");
  EXPECT_EQ(big.size(), 3 + 309 + 7 + 3u);
  EXPECT_EQ(big.substr(big.size() - 10), ".000000]\n]");
}

TEST(ExecSql, LibraryMessagesUnquoted) {
  Env();
  for (const char *sql : {"SELEKT 1", "SELECT * FROM no_such_table", "SELECT 1 FROM"}) {
    EXPECT_EQ(TripSql(sql), LibraryMessage(sql)) << sql;
  }
  EXPECT_EQ(TripSql("SELEKT 1"), "near \"SELEKT\": syntax error");
}

TEST(ExecSql, GetFormsAreDecoded) {
  Env();
  auto r = HttpGet("/UexecSql/SELECT%201,'a%2Fb'");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "[\n[1,\"a\\/b\"]\n]");
  EXPECT_EQ(r->header("Content-Type"), "application/json; charset=UTF-8");
  r = HttpGet("/UexecSql/");  // nothing to compile
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "ERR");
  r = HttpGet("/UexecSql/" + Encode("SELECT count(*) FROM sqlite_master WHERE name='kvt'"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "[\n[1]\n]");
}

TEST(ExecSql, ChartPackageRoutes) {
  const TestEnv &env = Env();
  // No package open: the library's text for a missing connection, on both forms.
  ASSERT_EQ(HttpGet("/getSetState/chartdb=none.veskara")->body, "500 none.veskara");
  EXPECT_EQ(HttpPost("/MexecSql", "SELECT 1")->body, "out of memory");
  EXPECT_EQ(HttpGet("/MexecSql/SELECT%201")->body, "out of memory");
  EXPECT_EQ(HttpPost("/MexecSql", "CREATE TABLE x (a)")->body, "out of memory");

  std::string file = env.dataFolder() + "A000007.veskara";
  ASSERT_TRUE(SqlExec(file, "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT); INSERT INTO kvt VALUES('k','v',4,'**');"));
  ASSERT_EQ(HttpGet("/getSetState/chartdb=A000007.veskara")->body, "000 " + file);
  EXPECT_EQ(HttpPost("/MexecSql", "SELECT k,v,t,l FROM kvt")->body, "[\n[\"k\",\"v\",4,\"**\"]\n]");
  EXPECT_EQ(HttpGet("/MexecSql/SELECT%20k%20FROM%20kvt")->body, "[\n[\"k\"]\n]");
  // The package is open read-only.
  EXPECT_EQ(HttpPost("/MexecSql", "DELETE FROM kvt")->body, "ERR");
  EXPECT_EQ(SqlRows(file, "SELECT count(*) FROM kvt"), std::vector<std::string>{"1"});
  ASSERT_EQ(HttpGet("/getSetState/chartdb=none.veskara")->body, "500 none.veskara");
}

}  // namespace
