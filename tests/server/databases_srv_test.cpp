// The database step on a real data folder: the trip schema on the first start, rows kept
// on the next, where the web-application package is found, and the own ship reset.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/db.h"
#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/nav.h"
#include "nav/serial.h"
#include "tests/support/packages.h"
#include "tests/support/testing.h"

namespace {

namespace fs = std::filesystem;
using testing_support::HttpGet;
using testing_support::MakePackage;
using testing_support::WriteFile;

std::string Trim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// name -> CREATE text, for every table and index of a database file.
std::map<std::string, std::string> Schema(const std::string &path) {
  std::map<std::string, std::string> out;
  sqlite3 *db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  {
    Stmt s(db, "SELECT name,sql FROM sqlite_master WHERE sql IS NOT NULL AND name NOT LIKE 'sqlite_%'");
    while (sqlite3_step(s) == SQLITE_ROW)
      out[reinterpret_cast<const char *>(sqlite3_column_text(s, 0))] =
          Trim(reinterpret_cast<const char *>(sqlite3_column_text(s, 1)));
  }
  sqlite3_close(db);
  return out;
}

int Count(const std::string &path, const char *sql) {
  sqlite3 *db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  int n = -1;
  {
    Stmt s(db, sql);
    if (sqlite3_step(s) == SQLITE_ROW) n = sqlite3_column_int(s, 0);
  }
  sqlite3_close(db);
  return n;
}

class Databases : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(env.dataFolder()); }
  void TearDown() override { testing_support::StopTestServer(); }

  void Restart() {
    testing_support::StopTestServer();
    testing_support::StartTestServer(env);
  }
  std::string Trip() const { return env.dataFolder() + "veskara.trip"; }
  std::string Page() {
    auto r = HttpGet("/app/veskara.html");
    return r ? r->body : "<no response>";
  }

  testing_support::TestEnv env;
};

TEST_F(Databases, FirstStartCreatesTheTripSchema) {
  // Leftovers of an earlier run of the step.
  PosState.lat = 1;
  PosState.fix = 5;
  PosState.serialInput = 1;
  PosState.tcpInput = 1;
  PosState.trackMinDistance = 7;
  PosState.trackMaxInterval = 8;
  PosState.lastLogTime = 9;
  PosState.gpsTimeOffset = 0;
  HostConfig.ChartDb.set(DbOpen(":memory:", SQLITE_OPEN_READWRITE, false));
  WriteFile(env.dataFolder() + "veskara.html", "plain page");

  testing_support::StartTestServer(env);

  const std::map<std::string, std::string> want = {
      {"kvt", "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT)"},
      {"i_kv_lk", "CREATE INDEX i_kv_lk ON kvt(l,k)"},
      {"log", "CREATE TABLE log (id INTEGER PRIMARY KEY AUTOINCREMENT, ts INTEGER, x DOUBLE, y DOUBLE,t INTEGER,v TEXT)"},
      {"i_log_ts", "CREATE INDEX i_log_ts ON log(ts)"},
      {"i_log_t", "CREATE INDEX i_log_t ON log(t)"},
  };
  EXPECT_EQ(Schema(Trip()), want);

  EXPECT_FALSE(HostConfig.AppDb);
  EXPECT_FALSE(HostConfig.ChartDb);
  EXPECT_NE(HostConfig.DbMutex, nullptr);
  EXPECT_EQ(Page(), "plain page");  // no package: the web root

  EXPECT_EQ(PosState.lat.load(), 999.0);
  EXPECT_EQ(PosState.lon.load(), 999.0);
  EXPECT_EQ(PosState.fix.load(), 0);
  EXPECT_EQ(PosState.serialInput.load(), 0);
  EXPECT_EQ(PosState.tcpInput.load(), 0);
  EXPECT_EQ(PosState.trackMinDistance.load(), 50);
  EXPECT_EQ(PosState.trackMaxInterval.load(), 86400);
  EXPECT_EQ(PosState.lastLogTime.load(), 0);
  EXPECT_EQ(PosState.gpsTimeOffset.load(), -1);
}

TEST_F(Databases, SecondStartKeepsTheRows) {
  testing_support::StartTestServer(env);
  sqlite3_mutex *mutex = HostConfig.DbMutex;
  {
    sqlite3 *db = nullptr;
    sqlite3_open_v2(Trip().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db, 5000);
    ASSERT_EQ(sqlite3_exec(db,
                           "INSERT INTO kvt(k,v,t,l) VALUES ('foo','bar',10,'**');"
                           "INSERT INTO log(ts,x,y,t,v) VALUES (1,2,3,1,'')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  auto schema = Schema(Trip());
  Restart();
  Restart();
  EXPECT_EQ(Schema(Trip()), schema);
  EXPECT_EQ(Count(Trip(), "SELECT count(*) FROM kvt WHERE k='foo'"), 1);
  EXPECT_EQ(Count(Trip(), "SELECT count(*) FROM log"), 1);
  EXPECT_EQ(HostConfig.DbMutex, mutex);  // allocated once
  auto r = HttpGet("/getValue/foo");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "bar");
}

TEST_F(Databases, PackageFolderBeforeWorkingDirectory) {
  const std::string src = env.root() + "/src";
  auto build = [&](const std::string &package, const std::string &text) {
    WriteFile(src + "/veskara.html", text);
    ASSERT_EQ(MakePackage(package, {"app", src}), 0);
  };
  build(env.dataFolder() + "A000001.veskara", "from the data folder");
  build(env.workDir() + "/A000001.veskara", "from the working directory");
  WriteFile(env.dataFolder() + "veskara.html", "plain page");

  testing_support::StartTestServer(env);
  EXPECT_EQ(Page(), "<!DOCTYPE HTML>from the data folder");
  fs::remove(env.dataFolder() + "A000001.veskara");
  Restart();
  EXPECT_EQ(Page(), "<!DOCTYPE HTML>from the working directory");
  fs::remove(env.workDir() + "/A000001.veskara");
  Restart();
  EXPECT_EQ(Page(), "plain page");
}

// A web-application package that is no database, or a damaged one, or not a plain file,
// counts as missing: the web root serves the page.
TEST_F(Databases, BrokenAppPackageLeavesTheWebRootServing) {
  const std::string app = env.dataFolder() + "A000001.veskara";
  WriteFile(env.dataFolder() + "veskara.html", "plain page");
  const std::string src = env.root() + "/src";
  WriteFile(src + "/veskara.html", "packaged");
  ASSERT_EQ(MakePackage(app, {"app", src}), 0);
  std::string good = testing_support::ReadFile(app);
  ASSERT_GT(good.size(), 1024u);
  std::string damaged = good.substr(0, 100) + std::string(good.size() - 100, '\x5a');
  const std::vector<std::pair<const char *, std::string>> cases = {
      {"text file", "<html>not a database</html>"}, {"empty file", ""}, {"damaged schema", damaged}};
  for (const auto &[what, bytes] : cases) {
    fs::remove(app);
    WriteFile(app, bytes);
    Restart();
    EXPECT_FALSE(HostConfig.AppDb) << what;
    EXPECT_EQ(Page(), "plain page") << what;
  }
  fs::remove(app);
  ASSERT_EQ(mkfifo(app.c_str(), 0600), 0);
  Restart();  // returns: the FIFO is not waited on
  EXPECT_FALSE(HostConfig.AppDb);
  EXPECT_EQ(Page(), "plain page");
  fs::remove(app);
}

// Another process reading the trip file for a moment does not cost the logger its point.
TEST_F(Databases, TripWritesWaitForAReader) {
  testing_support::StartTestServer(env);
  sqlite3 *reader = nullptr;
  ASSERT_EQ(sqlite3_open_v2(Trip().c_str(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM log;", nullptr, nullptr, nullptr), SQLITE_OK);
  std::thread release([reader] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  });
  NmeaHandleSentence("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A");
  release.join();
  sqlite3_close(reader);
  EXPECT_EQ(Count(Trip(), "SELECT count(*) FROM log WHERE t=1"), 1);
  EXPECT_EQ(Count(Trip(), "SELECT count(*) FROM kvt WHERE k='settings'"), 1);
}

// Endless triggers the page has left on the host's tables never run inside the host's own
// writes: the key/value routes, the poll, the track logger and the playback marker go on,
// also after a restart, while the page's own writes still fire them, within its bound.
TEST_F(Databases, PageTriggersNeverRunInHostWrites) {
  testing_support::StartTestServer(env);
  auto body = [](const std::optional<testing_support::HttpResponse> &r) { return r ? r->body : "<no answer>"; };
  const std::string endless = " BEGIN SELECT (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) "
                              "SELECT count(*) FROM c); END";
  for (const std::string head : {"CREATE TRIGGER ki AFTER INSERT ON kvt", "CREATE TRIGGER kd BEFORE DELETE ON kvt",
                                 "CREATE TRIGGER li AFTER INSERT ON log", "CREATE TEMP TRIGGER ld BEFORE DELETE ON log"})
    ASSERT_EQ(body(testing_support::HttpPost("/UexecSql", head + endless)), "OK") << head;
  const std::string playback = env.root() + "/empty.nmea";
  WriteFile(playback, "");

  for (const std::string when : {"first run", "after a restart"}) {
    EXPECT_EQ(body(testing_support::HttpPost("/setValue/host", when)), "OK") << when;
    EXPECT_EQ(body(HttpGet("/getValue/host")), when);
    EXPECT_EQ(body(HttpGet("/getSetState/mlang=de")), "000 de") << when;
    EXPECT_EQ(body(testing_support::HttpPost("/getSetHostStat/86400/50/0/0", "{}")).substr(0, 8), "{\"time\":") << when;
    EXPECT_NE(body(HttpGet("/hostversion/")).find("\"hostversion\""), std::string::npos) << when;
    NmeaPlaybackThread(playback);
    PosState.now = 1700000000;
    PosState.lat = 54.5;
    PosState.lon = 10.25;
    PosState.fix = 1;
    TrackLogPass();
    EXPECT_EQ(Count(Trip(), "SELECT count(*) FROM log"), 2) << when;
    EXPECT_EQ(Count(Trip(), "SELECT count(*) FROM log WHERE t=1 AND ts=1700000000"), 1) << when;
    Restart();
  }
  EXPECT_EQ(Count(Trip(), "SELECT count(*) FROM sqlite_master WHERE type='trigger'"), 3);
  // The page's own insert runs the trigger until the statement's time bound.
  testing_support::HttpConn page;
  const std::string insert = "INSERT INTO kvt VALUES ('page','x',1,'**')";
  page.sendRaw("POST /UexecSql HTTP/1.1\r\nContent-Length: " + std::to_string(insert.size()) + "\r\n\r\n" + insert);
  EXPECT_EQ(body(page.read(60000)), "interrupted");
}

}  // namespace
