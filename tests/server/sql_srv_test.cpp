// The SQL routes: document shapes, OK/ERR, library messages, escaping.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/nav.h"
#include "tests/support/sqlfile.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

const TestEnv &Env() { return SharedServerEnv(); }

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

// The page's SQL reaches only the database it is sent to: no other file is written, copied
// or read, whichever way the statement tries; the refusal is the library's own text.
TEST(ExecSql, OtherFilesAreOutOfReach) {
  const TestEnv &env = Env();
  namespace fs = std::filesystem;
  const std::string outside = env.root() + "/outside";
  fs::create_directories(outside);
  for (const std::string &sql :
       {"ATTACH DATABASE '" + outside + "/authorized_keys' AS k", "VACUUM INTO '" + outside + "/copy.db'",
        "  /* c */ vacuum main INTO '" + outside + "/copy2.db'", std::string("DETACH DATABASE main"),
        "PRAGMA temp_store_directory = '" + outside + "'"}) {
    EXPECT_EQ(TripSql(sql), "not authorized") << sql;
  }
  // Fails while its row is made, which answers the rows so far: none.
  EXPECT_EQ(TripSql("SELECT load_extension('" + outside + "/x')"), "[\n]");
  EXPECT_TRUE(fs::is_empty(outside));
  // What the page does on its own tables still works, plain VACUUM included.
  EXPECT_EQ(TripSql("CREATE TABLE own (a)"), "OK");
  EXPECT_EQ(TripSql("INSERT INTO own VALUES (1)"), "OK");
  EXPECT_EQ(TripSql("UPDATE own SET a = 2"), "OK");
  EXPECT_EQ(TripSql("VACUUM"), "OK");
  EXPECT_EQ(TripSql("SELECT a FROM own"), "[\n[2]\n]");
  EXPECT_EQ(TripSql("DELETE FROM own"), "OK");
  EXPECT_EQ(TripSql("DROP TABLE own"), "OK");
}

// A statement without end is interrupted at the time bound; the trip connection then
// serves the key/value route and the track logger as before, and a result too large to
// hold answers an error status while the process goes on.
TEST(ExecSql, BoundsOfTimeAndSize) {
  const TestEnv &env = Env();
  ASSERT_EQ(HttpPost("/setValue/before", "kept")->body, "OK");
  std::string endless;
  std::thread t([&] {
    HttpConn c;
    c.sendRaw("GET /UexecSql/" +
              Encode("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT count(*) FROM c") +
              " HTTP/1.1\r\n\r\n");
    auto r = c.read(60000);
    endless = r ? r->body : "<no answer>";
  });
  // Waits behind the endless statement, then is answered.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  HttpConn c;
  c.sendRaw("GET /getValue/before HTTP/1.1\r\n\r\n");
  auto v = c.read(60000);
  t.join();
  EXPECT_EQ(endless, "interrupted");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->body, "kept");

  PosState.now = 1700000000;
  PosState.lat = 54.5;
  PosState.lon = 10.25;
  PosState.fix = 1;
  TrackLogPass();
  EXPECT_EQ(SqlRows(env.dataFolder() + "veskara.trip", "SELECT ts FROM log WHERE t=1"),
            std::vector<std::string>{"1700000000"});

  // One value beyond the value bound; rows that together pass the answer bound.
  for (const std::string sql : {"SELECT zeroblob(500000000) FROM (VALUES(1),(2),(3),(4),(5))",
                                "SELECT zeroblob(30000000) FROM (VALUES(1),(2),(3))"}) {
    HttpConn c;
    c.sendRaw("POST /UexecSql HTTP/1.1\r\nContent-Length: " + std::to_string(sql.size()) + "\r\n\r\n" + sql);
    auto r = c.read(60000);
    ASSERT_TRUE(r) << sql;
    EXPECT_EQ(r->statusLine, "HTTP/1.1 500 result too large") << sql;
    EXPECT_EQ(r->body, "") << sql;
  }
  EXPECT_EQ(TripSql("SELECT length(zeroblob(1000))"), "[\n[1000]\n]");
}

// Rows of one statement, each of many values whose escape doubles them: the answer bound
// stops at the value that would pass it, and the library stops building a row long before
// it is whole (36 copies of a 32 MiB text). The process goes on, its memory far below a
// gigabyte (sanitizer builds keep freed and shadow memory, so there only the answer counts).
TEST(ExecSql, HugeRowsAreStoppedEarly) {
  Env();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr bool kMeasured = false;
#else
  constexpr bool kMeasured = true;
#endif
  auto row = [](const char *bytes, int values) {
    std::string sql = std::string("WITH t(v) AS (SELECT replace(hex(zeroblob(") + bytes + ")),'0','/')) SELECT v";
    for (int i = 1; i < values; ++i) sql += ",v";
    return sql + " FROM t";
  };
  // Slow under sanitizers: a longer wait than TripSql's.
  auto post = [](const std::string &sql) {
    HttpConn c;
    c.sendRaw("POST /UexecSql HTTP/1.1\r\nContent-Length: " + std::to_string(sql.size()) + "\r\n\r\n" + sql);
    return c.read(60000);
  };
  for (const std::string &sql : {row("16777215", 36), row("8388608", 10)}) {
    ResetPeakMemory();
    const long before = PeakMemoryKb();
    auto r = post(sql);
    ASSERT_TRUE(r) << sql;
    EXPECT_EQ(r->statusLine, "HTTP/1.1 500 result too large") << sql;
    EXPECT_EQ(r->body, "") << sql;
    if (kMeasured) {
      EXPECT_LT(PeakMemoryKb() - before, 448 * 1024) << sql;
    }
  }
  // A value at the value bound still comes back.
  auto r = post("SELECT length(replace(hex(zeroblob(16777215)),'0','/'))");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "[\n[33554430]\n]");
}

// The page may read the pragmas that hold for the whole process or decide the file's
// durability, but not set them, and gets no library address: the refusal is the
// library's own text.
TEST(ExecSql, ProcessAndDurabilitySettingsAreOutOfReach) {
  Env();
  for (const char *sql : {"PRAGMA hard_heap_limit=200000", "PRAGMA soft_heap_limit = 1", "PRAGMA journal_mode=MEMORY",
                          "PRAGMA main.journal_mode=OFF", "PRAGMA synchronous(0)", "pragma Locking_Mode=EXCLUSIVE",
                          "PRAGMA mmap_size=268435456"}) {
    EXPECT_EQ(TripSql(sql), "not authorized") << sql;
  }
  for (const char *sql : {"SELECT fts3_tokenizer('simple')", "SELECT 1 WHERE fts3_tokenizer('simple') IS NULL"})
    EXPECT_EQ(TripSql(sql), "not authorized to use function: fts3_tokenizer") << sql;
  EXPECT_EQ(TripSql("PRAGMA hard_heap_limit"), "[\n[0]\n]");
  EXPECT_EQ(TripSql("PRAGMA journal_mode"), "[\n[\"delete\"]\n]");
  EXPECT_EQ(TripSql("PRAGMA synchronous"), "[\n[2]\n]");
  EXPECT_EQ(TripSql("SELECT count(*) FROM pragma_journal_mode"), "[\n[1]\n]");
  EXPECT_EQ(TripSql("SELECT length(zeroblob(1000))"), "[\n[1000]\n]");
}

}  // namespace
