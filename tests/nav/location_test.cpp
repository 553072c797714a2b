// The location source: fixes from pairs of scripted reports, the poll rule, and the
// thread's life from creation to the release.
#include "nav/location.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "common/pos_state.h"
#include "nav/nav.h"

namespace {

constexpr uint64_t kSecond = 10000000ULL;  // 100-ns units

// A Unix time in whole seconds plus a number of 100-ns units, as a report's timestamp.
uint64_t At(uint64_t unixSeconds, uint64_t ticks = 0) {
  return UnixToFileTime(unixSeconds, 0) + ticks;
}

LatLongReport Report(double lat, double lon, double radius, uint64_t timestamp) {
  LatLongReport r;
  r.latitude = lat;
  r.longitude = lon;
  r.errorRadius = radius;
  r.timestamp = timestamp;
  return r;
}

// Every case starts an hour after the one before, so its first report never pairs with
// the last report of another case.
uint64_t NextCaseBase() {
  static uint64_t base = 1700000000;
  base += 3600;
  return base;
}

TEST(LocationReport, FixesFromPairsOfReports) {
  struct Case {
    const char *name;
    std::vector<LatLongReport> reports;  // times relative to the case's base, in ticks
    bool fix;
    double lat = 0, lon = 0, speed = 0, course = 0, radius = 0;
    int fixValue = 0;
    int64_t time = 0;  // seconds after the base
  };
  const Case cases[] = {
      {"north by 0.001 deg in 1 s",
       {Report(54.000, 10.0, 5.0, 0), Report(54.001, 10.0, 5.0, kSecond)},
       true, 54.001, 10.0, 111.19, 0.0, 5.0, -5, 1},
      {"west by 0.001 deg in 1 s",
       {Report(54.000, 10.0, 5.0, 0), Report(54.000, 9.999, 5.0, kSecond)},
       true, 54.000, 9.999, 65.36, 270.0004, 5.0, -5, 1},
      {"same timestamp: none, but the second report becomes the previous",
       {Report(54.000, 10.0, 5.0, 0), Report(54.001, 10.0, 5.0, 0),
        Report(54.002, 10.0, 5.0, kSecond)},
       true, 54.002, 10.0, 111.19, 0.0, 5.0, -5, 1},
      {"exactly 0.1 s", {Report(54.0, 10.0, 5, 0), Report(54.001, 10.0, 5, kSecond / 10)},
       false},
      {"just over 0.1 s",
       {Report(54.0, 10.0, 5, 0), Report(54.001, 10.0, 5, kSecond / 10 + 1)},
       true, 54.001, 10.0, 1111.95, 0.0, 5.0, -5, 0},
      {"exactly 15 s", {Report(54.0, 10.0, 5, 0), Report(54.001, 10.0, 5, 15 * kSecond)}, false},
      {"just under 15 s",
       {Report(54.0, 10.0, 5, 0), Report(54.001, 10.0, 5, 15 * kSecond - 1)},
       true, 54.001, 10.0, 7.413, 0.0, 5.0, -5, 14},
      {"20 s apart, then 1 s",
       {Report(54.0, 10.0, 5, 0), Report(54.001, 10.0, 5, 20 * kSecond),
        Report(54.002, 10.0, 5, 21 * kSecond)},
       true, 54.002, 10.0, 111.19, 0.0, 5.0, -5, 21},
      {"older than the previous", {Report(54.0, 10.0, 5, kSecond), Report(54.001, 10.0, 5, 0)},
       false},
      {"radius 35.7 m", {Report(54.0, 10.0, 35.7, 0), Report(54.001, 10.0, 35.7, kSecond)},
       true, 54.001, 10.0, 111.19, 0.0, 35.7, -35, 1},
      {"radius below 1 m", {Report(54.0, 10.0, 0.4, 0), Report(54.001, 10.0, 0.4, kSecond)},
       true, 54.001, 10.0, 111.19, 0.0, 0.4, 0, 1},
      {"fraction of a second dropped from the time",
       {Report(54.0, 10.0, 5, kSecond / 2), Report(54.001, 10.0, 5, 2 * kSecond - 1)},
       true, 54.001, 10.0, 74.13, 0.0, 5.0, -5, 1},
      // Here the cosine sum rounds to just above 1.
      {"same position twice",
       {Report(-41.355, 10.0, 5, 0), Report(-41.355, 10.0, 5, kSecond)},
       true, -41.355, 10.0, 0.0, 0.0, 5.0, -5, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PosStateReset();
    uint64_t base = NextCaseBase();
    for (LatLongReport r : c.reports) {
      r.timestamp += At(base);
      LocationReport(r);
    }
    if (!c.fix) {
      EXPECT_EQ(PosState.gpsTime.load(), 0);
      EXPECT_EQ(PosState.lat.load(), 999.0);
      EXPECT_EQ(PosState.fix.load(), 0);
      continue;
    }
    EXPECT_EQ(PosState.gpsTime.load(), static_cast<int64_t>(base) + c.time);
    EXPECT_EQ(PosState.lat.load(), c.lat);
    EXPECT_EQ(PosState.lon.load(), c.lon);
    EXPECT_NEAR(PosState.speed.load(), c.speed, 0.005);
    EXPECT_NEAR(PosState.heading.load(), c.course, 0.00005);
    EXPECT_EQ(PosState.fix.load(), c.fixValue);
  }
}

TEST(LocationReport, TcpInputKeepsTheFixBackButAdvancesThePrevious) {
  PosStateReset();
  uint64_t base = At(NextCaseBase());
  PosState.tcpInput = 1;
  LocationReport(Report(54.000, 10.0, 5, base));
  LocationReport(Report(54.001, 10.0, 5, base + kSecond));
  EXPECT_EQ(PosState.lat.load(), 999.0);
  EXPECT_EQ(PosState.gpsTime.load(), 0);
  PosState.tcpInput = 0;
  LocationReport(Report(54.002, 10.0, 5, base + 2 * kSecond));
  EXPECT_EQ(PosState.lat.load(), 54.002);
  EXPECT_NEAR(PosState.speed.load(), 111.19, 0.005);  // from the second report, not the first
}

// A location object whose reports the test scripts; counts the calls made on it.
struct ScriptState {
  std::mutex m;
  std::condition_variable cv;
  std::deque<LatLongReport> reports;
  bool accuracyOk = true;
  int accuracyCalls = 0;
  int reportCalls = 0;
  bool destroyed = false;
};

class ScriptedLocation : public LocationService {
 public:
  explicit ScriptedLocation(ScriptState &s) : s_(s) {}
  ~ScriptedLocation() override {
    std::lock_guard<std::mutex> lk(s_.m);
    s_.destroyed = true;
    s_.cv.notify_all();
  }
  bool SetDesiredAccuracy() override {
    std::lock_guard<std::mutex> lk(s_.m);
    ++s_.accuracyCalls;
    return s_.accuracyOk;
  }
  bool GetReport(LatLongReport &r) override {
    std::lock_guard<std::mutex> lk(s_.m);
    ++s_.reportCalls;
    s_.cv.notify_all();
    if (s_.reports.empty()) return false;
    r = s_.reports.front();
    s_.reports.pop_front();
    return true;
  }

 private:
  ScriptState &s_;
};

TEST(LocationPoll, AsksOnlyWhileNoNmeaFixStands) {
  const struct {
    int fix;
    bool polled;
  } cases[] = {{0, true},   {-1, true},   {-35, true},  {1, false},   {8, false},
               {12, false}, {998, false}, {999, true},  {1000, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fix);
    ScriptState s;
    s.reports.push_back(Report(54, 10, 5, At(1700000000)));
    ScriptedLocation loc(s);
    PosStateReset();
    PosState.fix = c.fix;
    LatLongReport r;
    EXPECT_EQ(LocationPoll(loc, r), c.polled);
    EXPECT_EQ(s.reportCalls, c.polled ? 1 : 0);
    EXPECT_EQ(s.accuracyCalls, c.polled ? 1 : 0);
  }
}

TEST(LocationThread, PollsUntilReleased) {
  PosStateReset();
  uint64_t base = At(NextCaseBase());
  ScriptState s;
  s.reports = {Report(54.000, 10.0, 12.0, base), Report(54.001, 10.0, 12.0, base + kSecond)};
  std::thread t(LocationThread, [&s] { return std::make_unique<ScriptedLocation>(s); },
                std::chrono::milliseconds(1));
  {
    std::unique_lock<std::mutex> lk(s.m);
    // A pass after both reports: the second has been handed on.
    ASSERT_TRUE(s.cv.wait_for(lk, std::chrono::seconds(60), [&] { return s.reportCalls >= 3; }));
  }
  EXPECT_EQ(PosState.lat.load(), 54.001);
  EXPECT_EQ(PosState.fix.load(), -12);
  ReleaseLocationInterface();
  t.join();
  std::lock_guard<std::mutex> lk(s.m);
  EXPECT_TRUE(s.destroyed);
}

TEST(LocationThread, EndsQuietlyWhenSetUpFails) {
  // No object: nothing to release.
  std::thread(LocationThread, [] { return std::unique_ptr<LocationService>(); },
              std::chrono::milliseconds(1))
      .join();

  // Refused accuracy: the thread ends without asking for reports and lets the object go.
  ScriptState s;
  s.accuracyOk = false;
  std::thread(LocationThread, [&s] { return std::make_unique<ScriptedLocation>(s); },
              std::chrono::milliseconds(1))
      .join();
  std::lock_guard<std::mutex> lk(s.m);
  EXPECT_EQ(s.accuracyCalls, 1);
  EXPECT_EQ(s.reportCalls, 0);
  EXPECT_TRUE(s.destroyed);
}

TEST(LocationThread, ReleaseDuringSetUpDropsTheNewObject) {
  ScriptState s;
  std::promise<void> creating, released;
  std::thread t(LocationThread,
                [&] {
                  creating.set_value();
                  released.get_future().wait();
                  return std::make_unique<ScriptedLocation>(s);
                },
                std::chrono::milliseconds(1));
  creating.get_future().wait();
  ReleaseLocationInterface();
  released.set_value();
  t.join();
  std::lock_guard<std::mutex> lk(s.m);
  EXPECT_TRUE(s.destroyed);
  EXPECT_EQ(s.reportCalls, 0);
}

}  // namespace
