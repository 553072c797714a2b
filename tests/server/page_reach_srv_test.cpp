// What the page's SQL leaves behind, and what a package file's schema brings, never runs in
// the host's own statements: TEMP objects named like the host's tables, views and virtual
// tables in place of them, an open transaction, connection pragmas. What the page holds in
// memory stays bounded, and the track poll answers one state of the track.
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/nav.h"
#include "nav/serial.h"
#include "tests/support/sqlfile.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

// An endless row source for views and triggers.
const std::string kEndless = "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n+1 FROM c) ";
const char kPoll[] = "/getSetHostStat/86400/50/0/0";

// "status line|body" of one request on its own connection, waiting long enough for a
// statement at its time bound.
std::string Ask(const std::string &method, const std::string &path, const std::string &body = "") {
  HttpConn c;
  std::string req = method + " " + path + " HTTP/1.1\r\n";
  if (method == "POST") req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  c.sendRaw(req + "\r\n" + body);
  auto r = c.read(30000);
  return r ? r->statusLine.substr(9) + "|" + r->body : "<no answer>";
}
std::string Page(const std::string &sql) { return Ask("POST", "/UexecSql", sql); }
std::string ChartPage(const std::string &sql) { return Ask("POST", "/MexecSql", sql); }
std::string Track(const std::string &answer) {
  auto at = answer.find("\"track\":");
  return at == std::string::npos ? answer : answer.substr(at);
}

class PageReach : public ::testing::Test {
 protected:
  void SetUp() override { StartTestServer(env); }
  void TearDown() override { StopTestServer(); }
  void Restart() {
    StopTestServer();
    StartTestServer(env);
  }
  std::string Trip() const { return env.dataFolder() + "veskara.trip"; }
  // A chart package with the given schema and rows, opened as the current one.
  void OpenChart(const std::string &sql) {
    const std::string file = env.dataFolder() + "A000009.veskara";
    std::remove(file.c_str());
    ASSERT_TRUE(SqlExec(file, sql));
    const std::string answer = Ask("GET", "/getSetState/chartdb=A000009.veskara");
    ASSERT_EQ(answer.substr(answer.find('|')), "|000 " + file);
  }
  TestEnv env;
};

// TEMP views and tables of the page named like the host's tables: the host reads its own.
// (Through such a view the host once handed out the address of a tokenizer and could be
// made to install one at any address.)
TEST_F(PageReach, HostReadsNeverRunThePagesTempObjects) {
  OpenChart("CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT); INSERT INTO kvt VALUES ('m','[1]',5,'**');");
  ASSERT_EQ(Ask("POST", "/setValue/x", "real"), "200 OK|OK");
  ASSERT_TRUE(SqlExec(Trip(), "INSERT INTO log (ts,x,y,t,v) VALUES (1700000000,1,2,1,'')"));
  const std::string track = "\"track\":[[1.000000,2.000000,1700000000]]}";
  struct {
    bool chart;  // the page's SQL goes to the chart package
    std::string sql, method, path, want;
  } cases[] = {
      {false, "CREATE TEMP VIEW kvt(k,v,t,l) AS SELECT 'x', hex(fts3_tokenizer('simple')), 4, '**'", "GET",
       "/getValue/x", "200 OK|real"},
      {false, "CREATE TEMP TABLE kvt AS SELECT 'y' AS k, 'temp' AS v, 4 AS t, '**' AS l", "GET", "/getValue/y",
       "404 File not found|"},
      {false, "CREATE TEMP VIEW kvt(k,v,t,l) AS " + kEndless + "SELECT 'x', n, 4, '**' FROM c WHERE n < 0", "GET",
       "/getValue/x", "200 OK|real"},
      {false, "CREATE TEMP VIEW log(id,ts,x,y,t,v) AS " + kEndless + "SELECT n, n, 0, 0, 1, '' FROM c", "POST",
       kPoll, track},
      {true, "CREATE TEMP VIEW kvt(k,v,t,l) AS " + kEndless + "SELECT 'm', zeroblob(100000000), 4, '**' FROM c",
       "GET", "/getMapDataA/m", "200 OK|[[1]]"},
      {true, "CREATE TEMP VIEW kvt(k,v,t,l) AS SELECT '/zz', hex(fts3_tokenizer('simple')), 4, '**'", "GET", "/zz",
       "404 File not found|"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.sql);
    ASSERT_EQ(c.chart ? ChartPage(c.sql) : Page(c.sql), "200 OK|OK");
    std::string got = Ask(c.method, c.path, "{}");
    EXPECT_EQ(c.method == "POST" ? Track(got) : got, c.want);
    Restart();  // the page's TEMP objects go with its connection
    OpenChart("CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT); INSERT INTO kvt VALUES ('m','[1]',5,'**');");
  }
  // A tokenizer at a made-up address, then a table that would call through it.
  EXPECT_EQ(Page("CREATE TEMP VIEW kvt(k,v,t,l) AS SELECT 'x', fts3_tokenizer('evil', x'4141414141410000'), 4, '**'"),
            "200 OK|OK");
  EXPECT_EQ(Ask("GET", "/getValue/x"), "200 OK|real");
  EXPECT_EQ(Page("SELECT v FROM temp.kvt"), "200 OK|not authorized to use function: fts3_tokenizer");
  EXPECT_EQ(Page("CREATE VIRTUAL TABLE temp.f USING fts3(tokenize=evil)"), "200 OK|ERR");
  EXPECT_EQ(Ask("GET", "/getValue/x"), "200 OK|real");
}

// Views and virtual tables in place of the host's tables, in the trip database (made by the
// page, kept over a restart) or in a package file, are answered as missing tables.
TEST_F(PageReach, ViewsAndVirtualTablesAreMissingTables) {
  ASSERT_EQ(Page("DROP TABLE log"), "200 OK|OK");
  ASSERT_EQ(Page("CREATE VIEW log(id,ts,x,y,t,v) AS " + kEndless + "SELECT n, n, 0, 0, 1, '' FROM c"), "200 OK|OK");
  Restart();
  EXPECT_EQ(Track(Ask("POST", kPoll, "{}")), "\"track\":[]}");
  EXPECT_EQ(Ask("POST", "/setValue/after", "kept"), "200 OK|OK");
  EXPECT_EQ(Ask("GET", "/getValue/after"), "200 OK|kept");

  ASSERT_EQ(Page("DROP TABLE kvt"), "200 OK|OK");
  ASSERT_EQ(Page("CREATE VIRTUAL TABLE kvt USING fts4(k,v,t,l)"), "200 OK|OK");
  ASSERT_EQ(Page("INSERT INTO kvt VALUES ('virtual','row',4,'**')"), "200 OK|OK");
  Restart();
  EXPECT_EQ(Ask("GET", "/getValue/virtual"), "404 File not found|");
  EXPECT_EQ(Ask("POST", "/setValue/virtual", "x"), "500 DELETE FROM kvt|ERR");

  // A package whose tables are endless views (a chart server can deliver one with a
  // matching checksum).
  OpenChart("CREATE VIEW tiles(zyx,png) AS " + kEndless + "SELECT n, 'x' FROM c WHERE n < 0;"
            "CREATE VIEW kvt(k,v,t,l) AS " + kEndless + "SELECT 'm', zeroblob(100000000), 4, '**' FROM c;"
            "CREATE VIEW gaz(c,n,x,y,r) AS " + kEndless + "SELECT 'c', 'n', 0, 0, n FROM c;");
  const std::string gif = Ask("GET", "/getTile/A0/0/0/1");
  EXPECT_EQ(gif.substr(0, 7), "200 OK|");
  EXPECT_EQ(gif.substr(7, 6), "GIF89a");
  EXPECT_EQ(Ask("GET", "/getMapDataA/m"), "200 OK|[]");
  EXPECT_EQ(Ask("GET", "/gazetteer/0/0"), "200 OK|[]");
  EXPECT_EQ(Ask("GET", "/m"), "404 File not found|");
}

// A TEMP trigger of the page on the host's tables never runs in the host's writes.
TEST_F(PageReach, TempTriggersStayOnThePagesConnection) {
  const std::string body = " BEGIN SELECT (" + kEndless + "SELECT count(*) FROM c); END";
  ASSERT_EQ(Page("CREATE TEMP TRIGGER ki AFTER INSERT ON kvt" + body), "200 OK|OK");
  ASSERT_EQ(Page("CREATE TEMP TRIGGER ld BEFORE DELETE ON log" + body), "200 OK|OK");
  ASSERT_TRUE(SqlExec(Trip(), "INSERT INTO log (ts,x,y,t,v) VALUES (1,1,1,1,'')"));
  EXPECT_EQ(Ask("POST", "/setValue/host", "v"), "200 OK|OK");
  EXPECT_EQ(Ask("GET", "/getValue/host"), "200 OK|v");
  EXPECT_EQ(Ask("GET", "/getSetState/mlang=de"), "200 OK|000 de");
  NmeaPlaybackThread(env.root() + "/no-such-file");
  WriteFile(env.root() + "/empty.nmea", "");
  NmeaPlaybackThread(env.root() + "/empty.nmea");
  EXPECT_EQ(SqlRows(Trip(), "SELECT t,v FROM log"), std::vector<std::string>{"2|NMEA playback starts"});
  EXPECT_EQ(Page("SELECT 1"), "200 OK|[\n[1]\n]");
}

// A transaction the page leaves open ends with its request: the host's writes never join
// it, and nothing it answered for is lost at the next start.
TEST_F(PageReach, OpenTransactionsEndWithTheRequest) {
  EXPECT_EQ(Page("BEGIN"), "200 OK|OK");
  EXPECT_EQ(Ask("POST", "/setValue/host", "stored"), "200 OK|OK");
  EXPECT_EQ(Page("INSERT INTO kvt VALUES ('page','p',10,'**')"), "200 OK|OK");
  EXPECT_EQ(Page("COMMIT"), "200 OK|ERR");  // nothing is open any more
  EXPECT_EQ(Page("SAVEPOINT s"), "200 OK|OK");
  EXPECT_EQ(Ask("POST", "/setValue/later", "kept"), "200 OK|OK");
  Restart();
  EXPECT_EQ(Ask("GET", "/getValue/host"), "200 OK|stored");
  EXPECT_EQ(Ask("GET", "/getValue/later"), "200 OK|kept");
  EXPECT_EQ(Ask("GET", "/getValue/page"), "200 OK|p");
}

// Pragmas the page sets hold for its own statements, never for the host's.
TEST_F(PageReach, ConnectionPragmasStayOnThePagesConnection) {
  OpenChart("CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT);"
            "INSERT INTO kvt VALUES ('m','1',5,'**'),('m','2',5,'de'),('m','3',5,'**');");
  for (const char *sql : {"PRAGMA query_only=1", "PRAGMA count_changes=1", "PRAGMA reverse_unordered_selects=1"})
    EXPECT_EQ(Page(sql), "200 OK|OK") << sql;
  EXPECT_EQ(Page("PRAGMA max_page_count=1").substr(0, 9), "200 OK|[\n");
  EXPECT_EQ(ChartPage("PRAGMA reverse_unordered_selects=1"), "200 OK|OK");
  // The page's own insert is refused, and counted changes make it a query without rows.
  EXPECT_EQ(Page("INSERT INTO kvt VALUES ('page','p',10,'**')"), "200 OK|[\n]");
  EXPECT_EQ(Ask("POST", "/setValue/host", "v"), "200 OK|OK");
  EXPECT_EQ(Ask("GET", "/getValue/host"), "200 OK|v");
  EXPECT_EQ(Ask("GET", "/getMapDataA/m"), "200 OK|[1,2,3]");
  PosState.now = 1700000000;
  PosState.lat = 54.5;
  PosState.lon = 10.25;
  PosState.fix = 1;
  TrackLogPass();
  EXPECT_EQ(SqlRows(Trip(), "SELECT count(*) FROM log WHERE ts=1700000000"), std::vector<std::string>{"1"});
}

// The host's writes wait for a statement of the page that holds the write lock to its
// time bound, and then land.
TEST_F(PageReach, HostWritesWaitOutThePagesStatement) {
  ASSERT_EQ(Ask("POST", "/setValue/row", "r"), "200 OK|OK");
  std::string page;
  std::thread t([&] { page = Page("UPDATE kvt SET v=v WHERE (" + kEndless + "SELECT count(*) FROM c) > 0"); });
  // The page's statement has begun once it holds the file's write lock.
  auto locked = [this] {
    sqlite3 *db = nullptr;
    sqlite3_open_v2(Trip().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const bool busy = sqlite3_exec(db, "BEGIN IMMEDIATE; ROLLBACK;", nullptr, nullptr, nullptr) == SQLITE_BUSY;
    sqlite3_close(db);
    return busy;
  };
  const bool began = WaitUntil(locked, 10000);
  EXPECT_TRUE(began);
  EXPECT_EQ(Ask("POST", "/setValue/host", "v"), "200 OK|OK");
  t.join();
  EXPECT_EQ(page, "200 OK|interrupted");
  EXPECT_EQ(Ask("GET", "/getValue/host"), "200 OK|v");
}

// Every answer of a poll that races the playback's clear holds the whole track or none of it.
TEST_F(PageReach, PollsRacingTheClearSeeTheWholeTrackOrNone) {
  constexpr int kPoints = 20000;
  WriteFile(env.root() + "/empty.nmea", "");
  int whole = 0, none = 0, partial = 0;
  for (int round = 0; round < 8; ++round) {
    ASSERT_TRUE(SqlExec(Trip(), "DELETE FROM log; " + kEndless + "INSERT INTO log (ts,x,y,t,v) SELECT 1700000000+n, 1, 2, 1, '' FROM c LIMIT " +
                                    std::to_string(kPoints) + ";"));
    std::atomic<bool> stop{false};
    std::vector<std::string> answers[3];
    std::vector<std::thread> polls;
    for (auto &a : answers)
      polls.emplace_back([&stop, &a] {
        while (!stop) a.push_back(Track(Ask("POST", kPoll, "{}")));
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * round));
    NmeaPlaybackThread(env.root() + "/empty.nmea");
    ASSERT_TRUE(WaitUntil([&] { return Track(Ask("POST", kPoll, "{}")) == "\"track\":[]}"; }, 10000));
    stop = true;
    for (auto &p : polls) p.join();
    for (const auto &a : answers)
      for (const std::string &track : a) {
        size_t points = 0;
        for (size_t at = track.find("],["); at != std::string::npos; at = track.find("],[", at + 1)) ++points;
        if (track == "\"track\":[]}") ++none;
        else if (points + 1 == kPoints) ++whole;
        else ++partial;
      }
  }
  EXPECT_EQ(partial, 0) << whole << " whole, " << none << " empty";
  EXPECT_GT(whole, 0);
}

// The page's connection holds a bounded amount of memory over any series of statements,
// and the answers it has not taken are bounded together.
TEST_F(PageReach, PageMemoryStaysBounded) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr bool kMeasured = false;  // sanitizers keep freed memory and add shadow memory
#else
  constexpr bool kMeasured = true;
#endif
  EXPECT_EQ(Page("PRAGMA temp_store=MEMORY"), "200 OK|not authorized");
  EXPECT_EQ(Page("PRAGMA busy_timeout=100000"), "200 OK|not authorized");
  EXPECT_EQ(Page("PRAGMA temp_store"), "200 OK|[\n[0]\n]");

  // TEMP views whose parsed form is large: each is kept by the connection after its statement.
  std::string columns;
  for (int c = 0; c < 1500; ++c) {
    columns += c ? ",(" : "(";
    for (int i = 0; i < 400; ++i) columns += i ? "+1" : "1";
    columns += ")";
  }
  ResetPeakMemory();
  const long before = PeakMemoryKb();
  int refused = 0;
  for (int v = 0; v < 8; ++v) {
    const std::string answer = Page("CREATE TEMP VIEW big" + std::to_string(v) + " AS SELECT " + columns);
    if (answer != "200 OK|OK") ++refused;
  }
  if (kMeasured) {
    EXPECT_LT(PeakMemoryKb() - before, 512 * 1024);
  }
  EXPECT_GT(refused, 0);
  EXPECT_EQ(Page("SELECT 1"), "200 OK|[\n[1]\n]");
  // A package whose schema is as large is not opened: every connection to it would hold it.
  const std::string bomb = env.dataFolder() + "A000008.veskara";
  ASSERT_TRUE(SqlExec(bomb, "CREATE TABLE tiles (zyx INTEGER PRIMARY KEY, png BLOB); CREATE VIEW v AS SELECT " + columns));
  EXPECT_EQ(Ask("GET", "/getSetState/chartdb=A000008.veskara"), "200 OK|500 A000008.veskara");
  Restart();

  // Answers of 16 MB each that their clients do not read.
  constexpr int kClients = 32;
  const std::string big = "SELECT zeroblob(16000000)";
  const std::string request = "POST /UexecSql HTTP/1.1\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big;
  std::vector<std::unique_ptr<HttpConn>> clients;
  ResetPeakMemory();
  const long unread = PeakMemoryKb();
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<HttpConn>());
    ASSERT_TRUE(clients.back()->sendRaw(request));
  }
  // Every answer has begun to arrive: it has been built and waits to be sent.
  for (auto &c : clients) {
    pollfd p{c->fd(), POLLIN, 0};
    ASSERT_TRUE(WaitUntil([&p] { return poll(&p, 1, 0) == 1; }, 300000));
  }
  if (kMeasured) {
    EXPECT_LT(PeakMemoryKb() - unread, 512 * 1024);
  }
  int sent = 0, tooLarge = 0;
  for (auto &c : clients) {
    auto r = c->read(60000);
    ASSERT_TRUE(r);
    if (r->statusLine == "HTTP/1.1 200 OK" && r->body.size() == 16000000 + 8) ++sent;
    if (r->statusLine == "HTTP/1.1 500 result too large" && r->body.empty()) ++tooLarge;
  }
  EXPECT_EQ(sent + tooLarge, kClients);
  EXPECT_GT(sent, 0);
  EXPECT_GT(tooLarge, 0);
}

}  // namespace
