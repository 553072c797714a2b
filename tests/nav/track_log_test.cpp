// The track logger against a real trip database: when a point is written, what it
// holds, the 'settings' row that goes with it, and a connection that stays usable.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/db.h"
#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/nav.h"
#include "tests/support/query_plan.h"
#include "tests/support/testing.h"

namespace {

constexpr int64_t T = 1700000000;

const char *const kSchema[] = {
    "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT) ",
    "CREATE INDEX i_kv_lk ON kvt(l,k) ",
    "CREATE TABLE log (id INTEGER PRIMARY KEY AUTOINCREMENT, ts INTEGER, x DOUBLE, y DOUBLE,t INTEGER,v TEXT) ",
    "CREATE INDEX i_log_ts ON log(ts) ",
    "CREATE INDEX i_log_t ON log(t) ",
};

struct Point {
  int64_t ts;
  double x, y;
  int t;
  std::string v;
};

struct KvtRow {
  std::optional<std::string> v;
  int t;
  std::string l;
};

void SetHostState(const char *text) {
  std::lock_guard<std::mutex> lk(HostConfig.HostStateLock);
  if (!text) {
    HostConfig.HostStateBody.reset();
    HostConfig.HostStateCapacity = 0;
    return;
  }
  size_t n = std::strlen(text);
  HostConfig.HostStateBody = std::make_unique<char[]>(n + 1);
  std::memcpy(HostConfig.HostStateBody.get(), text, n + 1);
  HostConfig.HostStateCapacity = static_cast<int>(n);
}

class TrackLog : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = env_.dataFolder() + "veskara.trip";
    testing_support::WriteFile(env_.dataFolder() + ".keep", "");
    DbHandle db = DbOpen(path_.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, true);
    for (const char *sql : kSchema) ASSERT_EQ(sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr), SQLITE_OK);
    HostConfig.TripDb.set(db);
    if (!HostConfig.DbMutex) HostConfig.DbMutex = sqlite3_mutex_alloc(SQLITE_MUTEX_FAST);
    PosStateReset();
    SetHostState(nullptr);
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &other_, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  }
  void TearDown() override {
    sqlite3_close_v2(other_);
    HostConfig.TripDb.close();
    HostConfig.ServerRunning = 0;
    SetHostState(nullptr);
    PosStateReset();
  }

  static void Pass(int64_t now, double lat, double lon, int fix = 1) {
    PosState.now = now;
    PosState.lat = lat;
    PosState.lon = lon;
    PosState.fix = fix;
    TrackLogPass();
  }

  // The log as another connection sees it.
  std::vector<Point> Points() {
    std::vector<Point> out;
    Stmt s(other_, "SELECT ts,x,y,t,v FROM log ORDER BY id");
    while (sqlite3_step(s) == SQLITE_ROW) {
      const char *v = reinterpret_cast<const char *>(sqlite3_column_text(s, 4));
      out.push_back({sqlite3_column_int64(s, 0), sqlite3_column_double(s, 1), sqlite3_column_double(s, 2),
                     sqlite3_column_int(s, 3), v ? v : "<null>"});
    }
    return out;
  }

  std::vector<KvtRow> KvtRows(const char *key) {
    std::vector<KvtRow> out;
    Stmt s(other_, "SELECT v,t,l FROM kvt WHERE k=?");
    sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
    while (sqlite3_step(s) == SQLITE_ROW) {
      const char *v = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
      out.push_back({v ? std::optional<std::string>(v) : std::nullopt, sqlite3_column_int(s, 1),
                     reinterpret_cast<const char *>(sqlite3_column_text(s, 2))});
    }
    return out;
  }

  testing_support::TestEnv env_;
  std::string path_;
  sqlite3 *other_ = nullptr;
};

struct Step {
  int64_t now;
  double lat, lon;
  int fix;
  bool logged;
};

struct Scenario {
  const char *name;
  int minDistance, maxInterval;
  std::vector<Step> steps;
};

TEST_F(TrackLog, WhenAPointIsLogged) {
  const Scenario scenarios[] = {
      {"first point by time, then only a real move",
       50,
       86400,
       {{T, 54, 10, 1, true},
        {T + 1, 54, 10, 1, false},
        {T + 2, 54.0004, 10, 1, false},  // 44 m
        {T + 3, 54.0005, 10, 1, true}}}, // 56 m from the first point
      {"one decision per second",
       50,
       86400,
       {{T, 54, 10, 1, true}, {T, 55, 10, 1, false}, {T + 1, 55, 10, 1, true}}},
      {"a move of exactly the minimum logs nothing",
       0,
       86400,
       {{T, 0, 0, 1, true}, {T + 1, 0, 0, 1, false}, {T + 2, 0, 0.0001, 1, true}}},
      {"interval boundary",
       50,
       100,
       {{T, 54, 10, 1, true}, {T + 100, 54, 10, 1, false}, {T + 101, 54, 10, 1, true}}},
      {"interval 0 logs every second",
       50,
       0,
       {{T, 54, 10, 1, true}, {T + 1, 54, 10, 1, true}, {T + 2, 54, 10, 1, true}, {T + 2, 54, 10, 1, false}}},
      {"the longest interval does not overflow",
       50,
       INT_MAX,
       {{T, 0, 0, 1, false}, {T + 1, 1, 0, 1, true}, {T + 2, 1, 0, 1, false}}},
      {"location fix -49 is decided, -50 is not and keeps the second open",
       50,
       86400,
       {{T, 54, 10, -50, false}, {T, 54, 10, -49, true}, {T + 1, 56, 10, -60, false}}},
      {"tcp source waiting logs the last position again",
       50,
       86400,
       {{T, 54, 10, 1, true}, {T + 86400, 54, 10, 998, false}, {T + 86401, 54, 10, 998, true}}},
      {"no position yet",
       50,
       86400,
       {{T, 999, 999, 998, false}, {T, 54, 10, 998, true}}},
  };
  for (const Scenario &sc : scenarios) {
    SCOPED_TRACE(sc.name);
    PosStateReset();
    sqlite3_exec(other_, "DELETE FROM log", nullptr, nullptr, nullptr);
    PosState.trackMinDistance = sc.minDistance;
    PosState.trackMaxInterval = sc.maxInterval;
    size_t expected = 0;
    for (size_t i = 0; i < sc.steps.size(); ++i) {
      SCOPED_TRACE(i);
      const Step &s = sc.steps[i];
      Pass(s.now, s.lat, s.lon, s.fix);
      if (s.logged) ++expected;
      std::vector<Point> pts = Points();
      ASSERT_EQ(pts.size(), expected);
      if (s.logged) {
        EXPECT_EQ(pts.back().ts, s.now);
        EXPECT_EQ(pts.back().x, s.lon);
        EXPECT_EQ(pts.back().y, s.lat);
        EXPECT_EQ(pts.back().t, 1);
      }
    }
  }
}

TEST_F(TrackLog, TagTexts) {
  const struct {
    int64_t gpsTime;
    double dbk, dbs;
    int fix;
    const char *tag;
  } cases[] = {
      {1717243200, 3.24, 0, 8, "gt=665b0d40 dk=3.2"},
      {0, 0, 5, 1, " ds=5.0"},
      {0, 0, 0, 999, " SIM"},
      {0, 0, 0, 1, ""},
      {1717243200, 1.26, 7.74, 999, "gt=665b0d40 dk=1.3 ds=7.7 SIM"},
      {0x100000010LL, 0, 0, 1, "gt=10"},
      {-1, 0, 0, 1, "gt=ffffffff"},
      {0, 1e300, -2.5, 1, " ds=-2.5"},  // a piece too long for its space is left out
      {0, 1e50, 1e300, 999, " dk=100000000000000007629769841091887003294964970946560.0 SIM"},
  };
  PosState.trackMaxInterval = 0;
  int64_t now = T;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.tag);
    PosState.gpsTime = c.gpsTime;
    PosState.dbk = c.dbk;
    PosState.dbs = c.dbs;
    Pass(++now, 54, 10, c.fix);
    std::vector<Point> pts = Points();
    ASSERT_FALSE(pts.empty());
    EXPECT_EQ(pts.back().v, c.tag);
  }
}

TEST_F(TrackLog, SettingsRowGoesWithEveryPoint) {
  // Before the page has posted a host state the row holds NULL.
  Pass(T, 54, 10);
  std::vector<KvtRow> rows = KvtRows("settings");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].v.has_value());
  EXPECT_EQ(rows[0].t, 10);
  EXPECT_EQ(rows[0].l, "**");

  // A row the page stored itself is replaced too; other rows stay.
  sqlite3_exec(other_,
               "INSERT INTO kvt(k,v,t,l) VALUES ('settings','page',10,'**');"
               "INSERT INTO kvt(k,v,t,l) VALUES ('other','keep',10,'**')",
               nullptr, nullptr, nullptr);
  PosState.trackMaxInterval = 0;
  std::string last;
  for (int i = 1; i <= 25; ++i) {
    last = "{\"n\":" + std::to_string(i) + ",\"s\":\"it's \\\"quoted\\\" ✓\"}";
    SetHostState(last.c_str());
    Pass(T + i, 54, 10);
  }
  rows = KvtRows("settings");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].v, last);
  EXPECT_EQ(KvtRows("other").size(), 1u);
  EXPECT_EQ(Points().size(), 26u);
}

// The 'settings' rows of every language give way to the new one, found through the (l,k)
// index rather than by reading the whole table.
TEST_F(TrackLog, SettingsRowsAreFoundThroughTheIndex) {
  sqlite3_exec(other_,
               "INSERT INTO kvt(k,v,t,l) VALUES ('settings','a',10,'**'),('settings','b',10,'de'),"
               "('settings','c',10,NULL),('settings','d',10,X'00'),('other','keep',10,'de')",
               nullptr, nullptr, nullptr);
  SetHostState("{}");
  DbHandle db = HostConfig.TripDb.get();
  auto ran = testing_support::StatementsRun(db.get(), [] { Pass(T, 54, 10); });
  {
    Stmt count(other_, "SELECT count(*) FROM kvt WHERE k='settings'");
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    ASSERT_EQ(sqlite3_column_int(count, 0), 1);
  }
  std::vector<KvtRow> rows = KvtRows("settings");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].v, "{}");
  EXPECT_EQ(rows[0].l, "**");
  EXPECT_EQ(KvtRows("other").size(), 1u);
  std::string del = testing_support::StatementWith(ran, "DELETE FROM kvt");
  ASSERT_FALSE(del.empty());
  std::vector<std::string> plan = testing_support::QueryPlan(db.get(), del);
  EXPECT_EQ(testing_support::PlanLines(plan, "SCAN kvt"), 0) << testing::PrintToString(plan);
  EXPECT_GT(testing_support::PlanLines(plan, "SEARCH kvt USING", "INDEX i_kv_lk (l=? AND k=?)"), 0)
      << testing::PrintToString(plan);
}

TEST_F(TrackLog, MissingTripDatabaseStillMovesOn) {
  HostConfig.TripDb.close();
  Pass(T, 54, 10);
  EXPECT_EQ(PosState.lastLogTime.load(), T);
  EXPECT_EQ(PosState.lastLogLat.load(), 54.0);
  Pass(T + 1, 54, 10);
  EXPECT_EQ(PosState.lastLogTime.load(), T);
}

// A COMMIT refused because another reader holds the file must not leave the shared
// connection inside the logger's transaction: later writes on it would never be seen.
TEST_F(TrackLog, RefusedCommitLeavesNoOpenTransaction) {
  PosState.trackMaxInterval = 0;
  Pass(T, 54, 10);
  ASSERT_EQ(sqlite3_exec(other_, "BEGIN; SELECT count(*) FROM log;", nullptr, nullptr, nullptr), SQLITE_OK);
  Pass(T + 1, 54, 10);
  DbHandle trip = HostConfig.TripDb.get();
  EXPECT_NE(sqlite3_get_autocommit(trip.get()), 0);
  ASSERT_EQ(sqlite3_exec(other_, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);

  // A plain write on the shared connection is visible to everyone at once.
  ASSERT_EQ(sqlite3_exec(trip.get(), "INSERT INTO kvt(k,v,t,l) VALUES ('later','x',10,'**')", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  EXPECT_EQ(KvtRows("later").size(), 1u);
  Pass(T + 2, 54, 10);
  std::vector<Point> pts = Points();
  ASSERT_EQ(pts.size(), 2u);
  EXPECT_EQ(pts[1].ts, T + 2);
}

// Several sources at once: one decision per second, whatever thread gets there first,
// while the page replaces its host state and reads the own ship.
TEST_F(TrackLog, ConcurrentSourcesLogOncePerSecond) {
  HostConfig.ServerRunning = 1;
  PosState.trackMaxInterval = 0;
  std::atomic<bool> stop{false};
  std::vector<std::thread> sources;
  for (int i = 0; i < 4; ++i)
    sources.emplace_back([i] {
      for (int n = 0; n < 300; ++n)
        NmeaHandleSentence(i % 2 ? "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A"
                                 : "$SDDPT,3.5,0.6*hh");
    });
  std::thread page([&stop] {
    int n = 0;
    while (!stop) {
      SetHostState(n++ % 2 ? "{\"a\":1}" : "{\"b\":22222222}");
      (void)PosState.lat.load();
    }
  });
  for (std::thread &t : sources) t.join();
  stop = true;
  page.join();

  std::vector<Point> pts = Points();
  ASSERT_FALSE(pts.empty());
  std::set<int64_t> seconds;
  for (const Point &p : pts) EXPECT_TRUE(seconds.insert(p.ts).second) << "two points in second " << p.ts;
  EXPECT_EQ(KvtRows("settings").size(), 1u);
}

}  // namespace
