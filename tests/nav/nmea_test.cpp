// Sentences into the own-ship record: the recognised kinds and their field counts, the
// fix indicator, the small parsers, the Location entry, and recorded logs replayed.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/great_circle.h"
#include "nav/nav.h"
#include "tests/support/testing.h"

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t Utc(int y, int mo, int d, int h, int mi, int s) { return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s; }

// Times come out one second early: the offset of the database step stays applied.
constexpr int64_t kOffset = -1;

const char *const kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
const double kLat = 48 + 7.038 / 60, kLon = 11 + 31.0 / 60;

class Nmea : public ::testing::Test {
 protected:
  void SetUp() override {
    HostConfig.TripDb.close();
    PosStateReset();
    HostConfig.ServerRunning = 1;
  }
  void TearDown() override {
    HostConfig.ServerRunning = 0;
    PosStateReset();
  }
  static void Feed(const std::vector<std::string> &lines) {
    for (const std::string &l : lines) NmeaHandleSentence(l.c_str());
  }
  testing_support::TestEnv env;
};

struct Expect {
  std::optional<int> fix = {};
  std::optional<double> lat = {}, lon = {}, speed = {}, heading = {}, dbs = {}, dbk = {}, hdop = {};
  std::optional<int64_t> gpsTime = {};
};

struct SentenceCase {
  const char *name;
  std::vector<std::string> lines;
  int startFix;     // fix before the lines
  bool recentFix;   // a valid RMC came just now
  Expect expect;
};

TEST_F(Nmea, SentencesUpdateTheOwnShip) {
  const int64_t t94 = Utc(2094, 3, 23, 12, 35, 19) + kOffset;
  const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,";
  const SentenceCase cases[] = {
      {"rmc", {kRmc}, 0, false, {1, kLat, kLon, 22.4 * 0.514444, 84.4, {}, {}, {}, t94}},
      {"rmc keeps a satellite count", {kRmc}, 8, true, {.fix = 8, .lat = kLat}},
      {"rmc keeps simulated input", {kRmc}, 999, true, {.fix = 999}},
      {"rmc keeps a location fix", {kRmc}, -35, true, {.fix = -35}},
      {"void rmc", {"$GPRMC,123519,V,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A"}, 1, true,
       {.fix = 0, .lat = 999.0, .lon = 999.0, .speed = 0.0, .gpsTime = 0}},
      {"south and west", {"$GPRMC,123519,A,4807.038,S,01131.000,W,022.4,084.4,230394,003.1,W*6A"}, 0, false,
       {.fix = 1, .lat = -kLat, .lon = -kLon}},
      {"no checksum: 12 fields", {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W"}, 0, false,
       {.fix = 0, .lat = 999.0}},
      {"mode field, no checksum: 13 fields",
       {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A"}, 0, false, {.fix = 1, .lat = kLat}},
      {"any talker, line end kept", {"$IIRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n"}, 0,
       false, {.fix = 1, .lon = kLon}},
      {"text before the start", {"xx$GNRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A"}, 0, false,
       {.fix = 1, .lat = kLat}},
      {"gga quality 0", {gga + "0,08,0.9,545.4,M,46.9,M,,*47"}, 1, true, {.fix = 0, .hdop = 0.0}},
      {"gga quality 6", {gga + "6,08,0.9,545.4,M,46.9,M,,*47"}, 1, true, {.fix = 0, .hdop = 0.0}},
      {"gga quality 1", {gga + "1,08,0.9,545.4,M,46.9,M,,*47"}, 1, true, {.fix = 8, .hdop = 0.9}},
      {"gga quality 2", {gga + "2,12,1.4,545.4,M,46.9,M,,*47"}, 0, true, {.fix = 12, .hdop = 1.4}},
      {"gga without a recent rmc lapses", {gga + "1,08,0.9,545.4,M,46.9,M,,*47"}, 0, false, {.fix = 0, .hdop = 0.9}},
      {"gga reports 0 satellites", {gga + "1,00,0.9,545.4,M,46.9,M,,*47"}, 1, true, {.fix = 0}},
      {"gga simulated", {gga + "1,999,0.9,545.4,M,46.9,M,,*47"}, 1, true, {.fix = 999}},
      {"gga with 15 fields", {gga + "1,08,0.9,545.4,M,46.9,M,*47"}, 1, true, {.fix = 1, .hdop = 0.0}},
      {"dpt positive offset", {"$SDDPT,3.5,0.6*hh"}, 1, true, {.dbs = 3.5 + 0.6, .dbk = 0.0}},
      {"dpt negative offset", {"$SDDPT,3.5,-0.6*hh"}, 1, true, {.dbs = 0.0, .dbk = 3.5 - 0.6}},
      {"dpt empty offset", {"$SDDPT,3.5,*hh"}, 1, true, {.dbs = 0.0, .dbk = 3.5}},
      {"dpt with range field", {"$SDDPT,3.5,0.6,100*hh"}, 1, true, {.dbs = 0.0, .dbk = 0.0}},
      {"dpt keeps the other depth", {"$SDDPT,3.5,0.6*hh", "$SDDPT,2.0,-0.5*hh"}, 1, true, {.dbs = 3.5 + 0.6, .dbk = 1.5}},
      {"dbk", {"$SDDBK,11.5,f,3.5,M,1.9,F*hh"}, 1, true, {.dbs = 0.0, .dbk = 3.5}},
      {"dbs", {"$SDDBS,11.5,f,3.5,M,1.9,F*hh"}, 1, true, {.dbs = 3.5, .dbk = 0.0}},
      {"dbs too short", {"$SDDBS,11.5,f,3.5,M"}, 1, true, {.dbs = 0.0}},
      {"dbt", {"$SDDBT,11.5,f,3.5,M,1.9,F*hh"}, 1, true, {.dbs = 0.0, .dbk = 0.0}},
      {"no sentence", {"**"}, 1, true, {.fix = 1, .lat = 999.0}},
      {"no sentence, fix lapsed", {"**"}, 1, false, {.fix = 0}},
      {"ais with a prefix is no ais", {" !AIVDM,1,1,,A,B3KLehP0B@LTN6`Vl;rrBE063P06,0*5A"}, 1, false, {.fix = 0}},
  };
  for (const SentenceCase &c : cases) {
    SCOPED_TRACE(c.name);
    PosStateReset();
    PosState.fix = c.startFix;
    if (c.recentFix) PosState.lastFixTime = std::time(nullptr);
    Feed(c.lines);
    const Expect &want = c.expect;
    if (want.fix) { EXPECT_EQ(PosState.fix.load(), *want.fix); }
    auto near = [](const std::optional<double> &w, double got, const char *what) {
      if (w) { EXPECT_NEAR(got, *w, 1e-9) << what; }
    };
    near(want.lat, PosState.lat, "lat");
    near(want.lon, PosState.lon, "lon");
    near(want.speed, PosState.speed, "speed");
    near(want.heading, PosState.heading, "heading");
    near(want.dbs, PosState.dbs, "dbs");
    near(want.dbk, PosState.dbk, "dbk");
    near(want.hdop, PosState.hdop, "hdop");
    if (want.gpsTime) { EXPECT_EQ(PosState.gpsTime.load(), *want.gpsTime); }
    EXPECT_EQ(PosState.dbt.load(), 0.0);
    EXPECT_NE(PosState.now.load(), 0);
  }
}

TEST_F(Nmea, ValidRmcRenewsTheFixTime) {
  int64_t before = std::time(nullptr);
  NmeaHandleSentence(kRmc);
  EXPECT_GE(PosState.lastFixTime.load(), before);
  EXPECT_EQ(PosState.lastFixTime.load(), PosState.now.load());
}

TEST_F(Nmea, RmcWithoutDateTakesTodayUtc) {
  int64_t before = std::time(nullptr) / 86400 * 86400;
  NmeaHandleSentence("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,,003.1,W*6A");
  int64_t after = std::time(nullptr) / 86400 * 86400;
  int64_t got = PosState.gpsTime;
  EXPECT_TRUE(got == before + 45319 + kOffset || got == after + 45319 + kOffset) << got;
}

// Fields that are not plain decimal numbers read as their leading decimal part, and
// nothing that is not finite gets through.
TEST_F(Nmea, NumbersInFields) {
  const struct {
    std::string field;
    double value;
  } numbers[] = {
      {"2.5", 2.5},   {" 2.5", 2.5}, {"-3", -3},   {"+4.5", 4.5},  {".5", 0.5}, {"5.", 5},     {"1.5.2", 1.5},
      {"inf", 0},     {"nan", 0},    {"-inf", 0},  {"1e5", 1e5},   {"0x10", 0}, {"", 0},       {"abc", 0},
      {"-", 0},       {".", 0},      {"1" + std::string(400, '0'), 0},
  };
  for (const auto &n : numbers) {
    SCOPED_TRACE("dbs field \"" + n.field.substr(0, 20) + "\"");
    PosStateReset();
    PosState.dbs = 77;
    NmeaHandleSentence(("$SDDBS,0,f," + n.field + ",M,0,F*00").c_str());
    EXPECT_EQ(PosState.dbs.load(), n.value);
  }
  const struct {
    std::string field;
    int value;
  } counts[] = {{"08", 8}, {" 7", 7}, {"7.9", 7}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}, {"x", 0}};
  for (const auto &n : counts) {
    SCOPED_TRACE("satellites \"" + n.field + "\"");
    PosStateReset();
    PosState.lastFixTime = std::time(nullptr);
    NmeaHandleSentence(("$GPGGA,123519,4807.038,N,01131.000,E,1," + n.field + ",0.9,545.4,M,46.9,M,,*47").c_str());
    EXPECT_EQ(PosState.fix.load(), n.value);
  }
}

// An exponent is part of the number, as the C library reads it in the C locale; a field
// read as a whole number takes none.
TEST_F(Nmea, ExponentsInNumberFields) {
  const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,";
  const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,";
  const struct {
    std::string line;
    std::atomic<double> PosStateRec::*field;
    double value;
  } sentences[] = {
      {"$SDDBS,,f,2.5e1,M,,F", &PosStateRec::dbs, 25.0},
      {"$SDDBK,,f,35E-1,M,,F*hh", &PosStateRec::dbk, 3.5},
      {"$SDDPT,3.5e0,6e-1*hh", &PosStateRec::dbs, 3.5 + 0.6},
      {rmc + "1E2,2.5e1,230394,003.1,W*6A", &PosStateRec::speed, 100 * 0.514444},
      {rmc + "1E2,2.5e1,230394,003.1,W*6A", &PosStateRec::heading, 25.0},
      {"$GPRMC,123519,A,4807.5e1,N,01131.000,E,1,2,230394,003.1,W*6A", &PosStateRec::lat, 48 + 75.0 / 60},
      {gga + "08,9e-1,545.4,M,46.9,M,,*47", &PosStateRec::hdop, 0.9},
  };
  for (const auto &c : sentences) {
    SCOPED_TRACE(c.line);
    PosStateReset();
    NmeaHandleSentence(c.line.c_str());
    EXPECT_NEAR((PosState.*c.field).load(), c.value, 1e-12);
  }

  PosStateReset();
  PosState.lastFixTime = std::time(nullptr);
  NmeaHandleSentence((gga + "8e1,0.9,545.4,M,46.9,M,,*47").c_str());
  EXPECT_EQ(PosState.fix.load(), 8);

  // The unusual forms, in a depth field.
  const struct {
    const char *field;
    double value;
  } forms[] = {
      {"1E+2", 100},  {"-2.5e-1", -0.25}, {" +1e2", 100}, {".5e1", 5},     {"5.e1", 50},      {"1e", 1},
      {"1e+", 1},     {"1e-x", 1},        {"1e 2", 1},    {"2e1.5", 20},   {"e5", 0},         {".e5", 0},
      {"1e0x10", 1},  {"0x1p4", 0},       {"1e999", 0},   {"-1e999", 0},   {"1e-999", 0},     {"0e999", 0},
      {"1e308", 1e308}, {"infinity", 0},  {"7e0002", 700},
  };
  for (const auto &n : forms) {
    SCOPED_TRACE(std::string("dbs field \"") + n.field + "\"");
    PosStateReset();
    PosState.dbs = 77;
    NmeaHandleSentence((std::string("$SDDBS,0,f,") + n.field + ",M,0,F*00").c_str());
    EXPECT_EQ(PosState.dbs.load(), n.value);
  }
}

TEST_F(Nmea, StoppedServerDropsEveryLine) {
  HostConfig.ServerRunning = 0;
  NmeaHandleSentence(kRmc);
  NmeaHandleSentence("$SDDBS,11.5,f,3.5,M,1.9,F*hh");
  EXPECT_EQ(PosState.lat.load(), 999.0);
  EXPECT_EQ(PosState.fix.load(), 0);
  EXPECT_EQ(PosState.dbs.load(), 0.0);
  EXPECT_EQ(PosState.now.load(), 0);
}

TEST_F(Nmea, AisLinesLeaveTheOwnShipAlone) {
  NmeaHandleSentence("!AIVDM,1,1,,A,B3KLehP0B@LTN6`Vl;rrBE063P06,0*5A");
  EXPECT_EQ(PosState.now.load(), 0);
  EXPECT_EQ(PosState.fix.load(), 0);
}

TEST_F(Nmea, TcpSourceWaitingSetsItsFix) {
  PosState.tcpInput = 1;  // switched on; its state is not "running" here
  NmeaHandleSentence("$SDDBS,11.5,f,3.5,M,1.9,F*hh");
  EXPECT_EQ(PosState.fix.load(), 998);
  PosState.tcpInput = 0;
  PosState.lastFixTime = std::time(nullptr);
  NmeaHandleSentence("**");
  EXPECT_EQ(PosState.fix.load(), 998);  // stays until a sentence or the time-out replaces it
}

// A reader of the own ship (the host-state poll reads the fix, then the position) never
// sees a fix without a position while sentences come in, as GGA before the first RMC.
TEST_F(Nmea, NoFixWithoutAPositionWhileSentencesComeIn) {
  std::atomic<bool> done{false};
  std::thread feed([&] {
    const char *gga = "$GPGGA,094736,5251.0094,N,00518.8172,E,1,12,0.60,-4,M,46.8,M,,*4B";
    for (int i = 0; i < 200000; ++i) NmeaHandleSentence(gga);
    done = true;
  });
  long seen = 0;
  while (!done) {
    const int fix = PosState.fix.load();
    if (fix != 0 && fix != kFixTcpWaiting && PosState.lat.load() == kNoPosition) ++seen;
  }
  feed.join();
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(PosState.fix.load(), 0);
}

TEST_F(Nmea, FixLapsesAfterFifteenSeconds) {
  for (int age : {15, 16}) {
    SCOPED_TRACE(age);
    // Repeat when the clock ticks between setting the age and the pass.
    for (int attempt = 0; attempt < 5; ++attempt) {
      PosStateReset();
      int64_t t = std::time(nullptr);
      PosState.fix = 1;
      PosState.lastFixTime = t - age;
      NmeaHandleSentence("**");
      if (PosState.now == t) break;
    }
    EXPECT_EQ(PosState.fix.load(), age == 15 ? 1 : 0);
  }
}

TEST(NmeaParse, Coordinates) {
  const struct {
    const char *field, *hemisphere;
    double value;
  } cases[] = {
      {"4807.038", "N", kLat},       {"4807.038", "S", -kLat},   {"01131.000", "E", kLon},
      {"01131.000", "W", -kLon},     {"4807.038", "", kLat},     {"4807.038", ",x", kLat},
      {" 4807.038", "N", kLat},      {"48.07", "N", 0.0},        {"123456.7", "N", 0.0},
      {"4807", "N", 0.0},            {"", "N", 0.0},             {"4807,5.1", "N", 0.0},
      {"4807.038,N", "S", -kLat},    {"9000.000", "N", 90.0},    {"18000.000", "W", -180.0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.field) + " " + c.hemisphere);
    EXPECT_NEAR(NmeaParseCoord(c.field, c.hemisphere), c.value, 1e-12);
  }
}

TEST(NmeaParse, Times) {
  PosStateReset();
  const struct {
    const char *date, *time;
    int64_t value;
  } cases[] = {
      {"230394", "123519", Utc(2094, 3, 23, 12, 35, 19)},
      {"230394,003.1", "123519.75,A", Utc(2094, 3, 23, 12, 35, 19)},
      {"010100", "000000", Utc(2000, 1, 1, 0, 0, 0)},
      {"160906", "194101", Utc(2006, 9, 16, 19, 41, 1)},
      {"000394", "000000", Utc(2094, 2, 28, 0, 0, 0)},   // day 0: last day of the month before
      {"150094", "000000", Utc(2093, 12, 15, 0, 0, 0)},  // month 0: December before
      {"290200", "000000", Utc(2000, 2, 29, 0, 0, 0)},
      {"290201", "000000", Utc(2001, 3, 1, 0, 0, 0)},
      {"230394", "1235", Utc(2094, 3, 23, 12, 35, 0)},
      {"230394", "12x519", Utc(2094, 3, 23, 12, 0, 0)},
      {"230394", "", Utc(2094, 3, 23, 0, 0, 0)},
      {"2303", "101010", Utc(2000, 3, 23, 10, 10, 10)},
      {"ab", "101010", Utc(1999, 11, 30, 10, 10, 10)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.date) + " " + c.time);
    EXPECT_EQ(NmeaParseTime(c.date, c.time), c.value + kOffset);
  }
}

TEST(NmeaParse, GreatCircleDistance) {
  const double radius = 6371000.8, degree = radius * M_PI / 180;
  const struct {
    double lon1, lat1, lon2, lat2, metres;
  } cases[] = {
      {0, 0, 0, 1, degree},        {10, 0, 11, 0, degree},     {0, 0, 180, 0, 180 * degree},
      {0, 89, 180, 89, 2 * degree}, {0, -45, 0, 45, 90 * degree}, {5, 0, 5, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.lon1 << "," << c.lat1 << " " << c.lon2 << "," << c.lat2);
    for (GreatCircleClamp clamp : {GreatCircleClamp::kNone, GreatCircleClamp::kClamp})
      EXPECT_NEAR(GreatCircleDistance(c.lon1, c.lat1, c.lon2, c.lat2, radius, clamp), c.metres, 1e-6);
  }
  // Two equal positions off the axes: unclamped nothing, or not a number, never a
  // distance; clamped exactly nothing.
  EXPECT_FALSE(GreatCircleDistance(kLon, kLat, kLon, kLat, radius, GreatCircleClamp::kNone) > 0);
  EXPECT_EQ(GreatCircleDistance(kLon, kLat, kLon, kLat, radius, GreatCircleClamp::kClamp), 0.0);
}

TEST_F(Nmea, LocationFixes) {
  const struct {
    double radius;
    int fix;
    bool decided;  // the pass reached the track logger's decision
  } cases[] = {{35.7, -35, true}, {49.9, -49, true}, {50.0, -50, false}, {0.4, 0, false}, {1e12, -INT_MAX, false},
               {-3, 0, false},    {NAN, -INT_MAX, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.radius);
    PosStateReset();
    int64_t before = std::time(nullptr);
    LocationFixInject(1717243200, 54.5, -3.25, 2.5, 270.0, c.radius);
    EXPECT_EQ(PosState.fix.load(), c.fix);
    EXPECT_EQ(PosState.gpsTime.load(), 1717243200);
    EXPECT_EQ(PosState.lat.load(), 54.5);
    EXPECT_EQ(PosState.lon.load(), -3.25);
    EXPECT_EQ(PosState.speed.load(), 2.5);
    EXPECT_EQ(PosState.heading.load(), 270.0);
    EXPECT_GE(PosState.lastFixTime.load(), before);
    EXPECT_EQ(PosState.lastPassTime.load() != 0, c.decided);
  }
}

TEST_F(Nmea, LocationFixWhileStopped) {
  HostConfig.ServerRunning = 0;
  LocationFixInject(1717243200, 54.5, -3.25, 2.5, 270.0, 10);
  EXPECT_EQ(PosState.lat.load(), 54.5);
  EXPECT_EQ(PosState.fix.load(), -10);
  EXPECT_EQ(PosState.now.load(), 0);  // the sentence pass ended at once
}

std::string TestDataDir() { return MAROLIN_TESTDATA_DIR; }

// What a log leaves behind, worked out from its lines here rather than by the handler.
struct LogResult {
  bool position = false;
  double lat = 999, lon = 999, speed = 0, heading = 0, dbs = 0, dbk = 0;
  int64_t gpsTime = 0;
};

std::vector<std::string> Split(const std::string &line) {
  std::vector<std::string> f(1);
  for (char c : line) {
    if (c == ',' || c == '*')
      f.emplace_back();
    else if (c != '\r' && c != '\n')
      f.back() += c;
  }
  return f;
}

double Num(const std::string &s) { return s.empty() ? 0.0 : std::stod(s); }

double Coord(const std::string &f, const std::string &hemi) {
  size_t degLen = f.find('.') - 2;
  double v = std::stoi(f.substr(0, degLen)) + std::stod(f.substr(degLen)) / 60;
  return hemi == "S" || hemi == "W" ? -v : v;
}

LogResult Expected(const std::vector<std::string> &lines) {
  LogResult r;
  for (const std::string &line : lines) {
    if (line.rfind('$', 0) != 0) continue;
    std::vector<std::string> f = Split(line);
    std::string id = f[0].size() >= 6 ? f[0].substr(3, 3) : "";
    if (id == "RMC" && f.size() >= 13 && f[2] == "A") {
      r.position = true;
      r.lat = Coord(f[3], f[4]);
      r.lon = Coord(f[5], f[6]);
      r.speed = Num(f[7]) * 0.514444;
      r.heading = Num(f[8]);
      const std::string &d = f[9], &t = f[1];
      r.gpsTime = Utc(2000 + std::stoi(d.substr(4, 2)), std::stoi(d.substr(2, 2)), std::stoi(d.substr(0, 2)),
                      std::stoi(t.substr(0, 2)), std::stoi(t.substr(2, 2)), std::stoi(t.substr(4, 2))) +
                  kOffset;
    } else if (id == "DPT" && f.size() == 4) {
      double depth = Num(f[1]), offset = Num(f[2]);
      (offset > 0 ? r.dbs : r.dbk) = depth + offset;
    } else if (id == "DBS" && f.size() >= 6) {
      r.dbs = Num(f[3]);
    } else if (id == "DBK" && f.size() >= 6) {
      r.dbk = Num(f[3]);
    }
  }
  return r;
}

TEST_F(Nmea, RecordedLogs) {
  const struct {
    const char *file;
    bool position, depth;
  } logs[] = {{"humminbird-M37.log", true, true},
              {"bundg_zeus_9.log", true, false},
              {"ais-nmea.log", true, false},
              {"ais-18-27.log", false, false}};
  for (const auto &log : logs) {
    SCOPED_TRACE(log.file);
    std::ifstream in(TestDataDir() + "/nmea/" + log.file, std::ios::binary);
    ASSERT_TRUE(in) << "missing test data";
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
      if (!line.empty() && line[0] != '#') lines.push_back(line + "\n");
    ASSERT_FALSE(lines.empty());

    PosStateReset();
    Feed(lines);
    LogResult want = Expected(lines);
    ASSERT_EQ(want.position, log.position);
    EXPECT_DOUBLE_EQ(PosState.lat.load(), want.lat);
    EXPECT_DOUBLE_EQ(PosState.lon.load(), want.lon);
    EXPECT_NEAR(PosState.speed.load(), want.speed, 1e-12);
    EXPECT_DOUBLE_EQ(PosState.heading.load(), want.heading);
    EXPECT_EQ(PosState.gpsTime.load(), want.gpsTime);
    EXPECT_DOUBLE_EQ(PosState.dbs.load(), want.dbs);
    EXPECT_DOUBLE_EQ(PosState.dbk.load(), want.dbk);
    EXPECT_EQ(want.dbk != 0 || want.dbs != 0, log.depth);
    EXPECT_EQ(PosState.fix.load() != 0, log.position);
  }
}

}  // namespace
