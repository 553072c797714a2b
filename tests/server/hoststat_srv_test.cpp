// "/getSetHostStat/" over real sockets: the reply bytes, the track after a given time,
// the serial switch and the kept host state.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/nav.h"
#include "nav/serial.h"
#include "tests/support/query_plan.h"
#include "tests/support/serial_ports.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

const TestEnv &Env() { return SharedServerEnv(); }

HttpResponse Post(const std::string &path, const std::string &body = "{}") {
  auto r = HttpPost(path, body);
  EXPECT_TRUE(r) << path;
  return r ? *r : HttpResponse{};
}

void Exec(const std::string &sql) {
  DbHandle db = HostConfig.TripDb.get();
  ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
}

// The own-ship members of a reply, without the track.
std::string StatePart(const std::string &body) { return body.substr(0, body.find("\"track\":")); }
std::string TrackPart(const std::string &body) {
  auto at = body.find("\"track\":");
  return at == std::string::npos ? body : body.substr(at);
}

void SetShip() {
  PosState.now = 1700000123;
  PosState.fix = 7;
  PosState.lat = 54.123456789;
  PosState.lon = -10.5;
  PosState.heading = 359.6;
  PosState.dbs = 12.34;
  PosState.dbk = 1.26;
  PosState.dbt = 0;
  PosState.speed = 2.675;
  PosState.hdop = 0.9;
}

TEST(HostStat, ReplyCarriesTheShipAndTheTrackAfterTheGivenTime) {
  Env();
  Exec("DELETE FROM log");
  Exec("INSERT INTO log (ts,x,y,t,v) VALUES (1699999999,9,9,1,''),(1700000000,8,8,1,''),"
       "(1700000003,-3,4,1,''),(1700000005,999,999,2,'NMEA playback starts'),(1700000001,1.5,2.25,1,'gt=1'),"
       "(4294967295,0.1234567,-0.0000004,1,'')");
  SetShip();
  PosState.serialInput = 0;

  HttpResponse r = Post("/getSetHostStat/3600/100/0/1700000000", "{\"a\":1}");
  EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.header("Cache-Control"), "no-cache");
  EXPECT_EQ(r.header("Content-Type"), "application/json; charset=UTF-8");
  EXPECT_EQ(r.body,
            "{\"time\":1700000123,\"fix\":7,\"latY\":54.123457,\"lonX\":-10.500000,\"heading\":360,"
            "\"dbs\":12.3,\"dbk\":1.3,\"dbt\":0.0,\"speed\":2.7,\"hdop\":0.9,"
            "\"track\":[[1.500000,2.250000,1700000001],[-3.000000,4.000000,1700000003],"
            "[0.123457,-0.000000,-1]]}");
  EXPECT_EQ(PosState.trackMaxInterval.load(), 3600);
  EXPECT_EQ(PosState.trackMinDistance.load(), 100);
  EXPECT_EQ(PosState.serialInput.load(), 0);
}

// The poll walks the time index from the given time instead of reading every track point
// through the index on t and sorting them; without the time index it gives the same track.
TEST(HostStat, TrackIsReadAlongTheTimeIndex) {
  Env();
  Exec("DELETE FROM log");
  Exec("INSERT INTO log (ts,x,y,t,v) VALUES (10,1,1,1,''),(12,2,2,1,''),(11,3,3,1,''),(12,4,4,1,''),"
       "(11,999,999,2,'NMEA playback starts'),(9,5,5,1,'')");
  const char *const track = "\"track\":[[3.000000,3.000000,11],[2.000000,2.000000,12],[4.000000,4.000000,12]]}";
  DbHandle db = HostConfig.TripDb.get();
  std::string body;
  auto ran = StatementsRun(db.get(), [&] { body = Post("/getSetHostStat/3600/100/0/10").body; });
  EXPECT_EQ(TrackPart(body), track);
  std::string select = StatementWith(ran, "FROM log");
  ASSERT_FALSE(select.empty());
  EXPECT_EQ(QueryPlan(db.get(), select), std::vector<std::string>{"SEARCH log USING INDEX i_log_ts (ts>?)"});

  Exec("DROP INDEX i_log_ts");
  EXPECT_EQ(TrackPart(Post("/getSetHostStat/3600/100/0/10").body), track);
  Exec("CREATE INDEX i_log_ts ON log(ts) ");
}

TEST(HostStat, PathNumbersThatAreMissingKeepTheirTargets) {
  Env();
  Exec("DELETE FROM log");
  Exec("INSERT INTO log (ts,x,y,t,v) VALUES (5,1,1,1,''),(6,2,2,1,'')");
  WriteSerialPortList({});
  PosState.trackMaxInterval = 10;
  PosState.trackMinDistance = 20;
  PosState.serialInput = -1;  // a missing switch reads as -1: unchanged, nothing starts
  struct Case {
    const char *rest;
    int maxInterval, minDistance;
    const char *track;
  } cases[] = {
      {"", 10, 20, "\"track\":[[1.000000,1.000000,5],[2.000000,2.000000,6]]}"},
      {"30", 30, 20, "\"track\":[[1.000000,1.000000,5],[2.000000,2.000000,6]]}"},
      {"40/50", 40, 50, "\"track\":[[1.000000,1.000000,5],[2.000000,2.000000,6]]}"},
      {"x/60", 40, 50, "\"track\":[[1.000000,1.000000,5],[2.000000,2.000000,6]]}"},
      {"70/80/-1/5", 70, 80, "\"track\":[[2.000000,2.000000,6]]}"},
      {"-5/+6/-1/6", -5, 6, "\"track\":[]}"},
      {"99999999999/1/-1/-99999999999", 2147483647, 1, "\"track\":[[1.000000,1.000000,5],[2.000000,2.000000,6]]}"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rest);
    PosState.fix = 3;
    HttpResponse r = Post(std::string("/getSetHostStat/") + c.rest);
    EXPECT_EQ(TrackPart(r.body), c.track);
    EXPECT_EQ(PosState.trackMaxInterval.load(), c.maxInterval);
    EXPECT_EQ(PosState.trackMinDistance.load(), c.minDistance);
    EXPECT_EQ(PosState.serialInput.load(), -1);
    EXPECT_NE(r.body.find("\"fix\":3,"), std::string::npos);
  }
}

TEST(HostStat, NumbersAreFormattedPerMember) {
  Env();
  struct Case {
    int64_t now;
    double lat, heading, depth;
    const char *state;
  } cases[] = {
      {0, 999.0, 0, 0,
       "{\"time\":0,\"fix\":0,\"latY\":999.000000,\"lonX\":999.000000,\"heading\":0,\"dbs\":0.0,\"dbk\":0.0,"
       "\"dbt\":0.0,\"speed\":0.0,\"hdop\":0.0,"},
      {0x100000005LL, -0.0000004, 359.4, 12.35,
       "{\"time\":5,\"fix\":0,\"latY\":-0.000000,\"lonX\":999.000000,\"heading\":359,\"dbs\":12.3,\"dbk\":0.0,"
       "\"dbt\":0.0,\"speed\":0.0,\"hdop\":0.0,"},
      {3000000000LL, 1e20, 0.5, 1e22,  // large values are written whole
       "{\"time\":-1294967296,\"fix\":0,\"latY\":100000000000000000000.000000,\"lonX\":999.000000,"
       "\"heading\":0,\"dbs\":10000000000000000000000.0,\"dbk\":0.0,\"dbt\":0.0,\"speed\":0.0,\"hdop\":0.0,"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.now);
    PosStateReset();
    PosState.now = c.now;
    PosState.lat = c.lat;
    PosState.heading = c.heading;
    PosState.dbs = c.depth;
    HttpResponse r = Post("/getSetHostStat/86400/50/0/0");
    EXPECT_EQ(StatePart(r.body), c.state);
  }
}

TEST(HostStat, NoTripDatabaseGivesAnEmptyTrack) {
  Env();
  DbHandle held = HostConfig.TripDb.take();
  HttpResponse r = Post("/getSetHostStat/86400/50/0/0");
  HostConfig.TripDb.set(held);
  EXPECT_EQ(TrackPart(r.body), "\"track\":[]}");
}

// Which playback runs the serial starts brought: the playback file holds one word, and
// its lines are recorded in place of the sentence handler.
TEST(HostStat, ChangedSerialSwitchStartsSerialInput) {
  const TestEnv &env = Env();
  WriteSerialPortList({{"marolin-test", "marolin-test-no-such-port"}});
  SentenceRecorder &rec = SentenceRecorder::instance();
  rec.clear();
  SerialSentenceSink = SentenceRecorder::Sink;
  std::string playback = env.workDir() + "/Marolin/nmea.log";
  PosState.serialInput = 0;
  struct Case {
    const char *rest;
    const char *word;  // the playback file while the request runs
    bool starts;
    int serial;
  } cases[] = {
      {"3600/100/1/0", "A", true, 1},
      {"3600/100/1/0", "B", false, 1},  // unchanged: nothing starts
      {"3600/100/2/0", "C", true, 2},   // any change to non-zero starts again
      {"3600/100/0/0", "D", false, 0},  // switching off only stores the 0
      {"", "E", true, -1},              // no numbers: -1, a change
      {"3600", "F", false, -1},
  };
  std::string expected;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rest);
    WriteFile(playback, std::string(c.word) + "\n");
    PosState.fix = 7;
    HttpResponse r = Post(std::string("/getSetHostStat/") + c.rest);
    EXPECT_EQ(PosState.serialInput.load(), c.serial);
    // The fix is cleared only by a start, before the reply is written.
    EXPECT_NE(r.body.find(c.starts ? "\"fix\":0," : "\"fix\":7,"), std::string::npos) << r.body;
    if (c.starts) {
      EXPECT_TRUE(rec.waitFor(std::string(c.word) + "\n"));
      expected += c.word;
    }
  }
  std::string fed;
  for (const std::string &l : rec.lines()) fed += l.substr(0, 1);
  EXPECT_EQ(fed, expected);
  SerialSentenceSink = NmeaHandleSentence;
  PosState.serialInput = 0;
  std::remove(playback.c_str());
}

TEST(HostStat, RequestedTcpSourceKeepsSerialInputFromStarting) {
  const TestEnv &env = Env();
  WriteSerialPortList({{"marolin-test", "marolin-test-no-such-port"}});
  SentenceRecorder &rec = SentenceRecorder::instance();
  rec.clear();
  SerialSentenceSink = SentenceRecorder::Sink;
  WriteFile(env.workDir() + "/Marolin/nmea.log", "T\n");
  PosState.serialInput = 0;
  // Requested with a value that starts no client, so no connection is tried.
  auto on = HttpGet("/nemasock/127.0.0.1/1/2");
  ASSERT_TRUE(on);
  ASSERT_EQ(NmeaTcpRequested(), 2);
  PosState.fix = 7;
  HttpResponse r = Post("/getSetHostStat/3600/100/1/0");
  EXPECT_EQ(PosState.serialInput.load(), 1);  // stored all the same
  EXPECT_NE(r.body.find("\"fix\":7,"), std::string::npos) << r.body;
  ASSERT_TRUE(HttpGet("/nemasock/127.0.0.1/1/0"));
  // With the source off again only a change starts: the stored 1 does not.
  r = Post("/getSetHostStat/3600/100/1/0");
  EXPECT_NE(r.body.find("\"fix\":7,"), std::string::npos) << r.body;
  r = Post("/getSetHostStat/3600/100/2/0");
  EXPECT_NE(r.body.find("\"fix\":0,"), std::string::npos) << r.body;
  EXPECT_TRUE(rec.waitFor("T\n"));
  EXPECT_EQ(rec.lines(), std::vector<std::string>{"T\n"});
  SerialSentenceSink = NmeaHandleSentence;
  PosState.serialInput = 0;
  std::remove((env.workDir() + "/Marolin/nmea.log").c_str());
}

TEST(HostStat, BodyIsKeptInABlockThatOnlyGrows) {
  Env();
  PosState.serialInput = 0;
  std::string b100(100, 'h');
  b100[50] = '\0';  // the whole body is kept, not only its first text
  std::string b10 = "0123456789";
  std::string b150(150, 'k');
  struct Case {
    const std::string *body;
    int capacity;
    bool sameBlock;
  } cases[] = {{&b100, 100, false}, {&b10, 100, true}, {&b100, 100, true}, {&b150, 150, false}};
  const char *previous = nullptr;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.body->size());
    Post("/getSetHostStat/86400/50/0/0", *c.body);
    std::lock_guard<std::mutex> lk(HostConfig.HostStateLock);
    EXPECT_EQ(HostConfig.HostStateCapacity, c.capacity);
    ASSERT_TRUE(HostConfig.HostStateBody);
    EXPECT_EQ(std::string(HostConfig.HostStateBody.get(), c.body->size() + 1), *c.body + '\0');
    if (previous && c.sameBlock) {
      EXPECT_EQ(HostConfig.HostStateBody.get(), previous);
    }
    previous = HostConfig.HostStateBody.get();
  }
}

}  // namespace
