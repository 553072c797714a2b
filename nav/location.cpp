// The location source on the desktop location service (platform/location.h).
#include "nav/location.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/pos_state.h"
#include "nav/great_circle.h"
#include "nav/nav.h"

namespace {

constexpr double kEarthRadius = 6371000.0;  // metres; the track logger uses its own
constexpr double kMinInterval = 0.1;        // seconds between two reports, bounds excluded
constexpr double kMaxInterval = 15.0;

// Held around every call on the location object and around its release, so the release
// at exit never pulls the object from under a running call.
std::mutex LocationLock;
// Owned (adopted back into a unique_ptr by the release). A plain pointer, so that it stays
// readable by the thread while static objects are torn down at exit.
LocationService *LocationInterface = nullptr;
// Counts releases, so that a thread still creating its object when the release came
// drops the object instead of installing it afterwards.
uint64_t LocationReleases = 0;

// The last report read; used by LocationReport alone, on the location thread.
LatLongReport PreviousReport;

struct ReleaseAtExit {
  ReleaseAtExit() { std::atexit(ReleaseLocationInterface); }
} releaseAtExit;

}  // namespace

void ReleaseLocationInterface() {
  std::unique_ptr<LocationService> owned;
  {
    std::lock_guard<std::mutex> lk(LocationLock);
    owned.reset(LocationInterface);
    LocationInterface = nullptr;
    ++LocationReleases;
  }
}

bool LocationPoll(LocationService &location, LatLongReport &report) {
  int fix = PosState.fix.load();
  if (fix > 0 && fix != kFixSimulated) return false;  // an NMEA fix stands (kFixTcpWaiting included)
  location.SetDesiredAccuracy();
  return location.GetReport(report);
}

void LocationReport(const LatLongReport &cur) {
  // Unsigned: a report older than the previous one gives a huge interval, not a negative.
  double dt = static_cast<double>(cur.timestamp - PreviousReport.timestamp) /
              static_cast<double>(kFileTimeTicksPerSecond);
  if (dt > kMinInterval && dt < kMaxInterval) {
    double course = GreatCircleCourse(PreviousReport.longitude, PreviousReport.latitude,
                                      cur.longitude, cur.latitude);
    // Clamped: two equal reports are 0 m apart, a speed of 0 rather than no number at all.
    double distance = GreatCircleDistance(cur.longitude, cur.latitude, PreviousReport.longitude,
                                          PreviousReport.latitude, kEarthRadius,
                                          GreatCircleClamp::kClamp);
    double speed = distance / dt;
    uint64_t time = (cur.timestamp - kFileTimeUnixEpoch) / kFileTimeTicksPerSecond;
    if (PosState.tcpInput.load() == 0)
      LocationFixInject(static_cast<int64_t>(time), cur.latitude, cur.longitude, speed, course,
                        cur.errorRadius);
  }
  PreviousReport = cur;
}

void LocationThread(const LocationFactory &create, std::chrono::milliseconds interval) {
  uint64_t releases;
  {
    std::lock_guard<std::mutex> lk(LocationLock);
    releases = LocationReleases;
  }
  // Set up outside the lock: starting may wait for the user's consent, and the release
  // at exit must not wait for that.
  std::unique_ptr<LocationService> created = create();
  if (!created) return;  // no location service: the program simply has no such source
  if (!created->SetDesiredAccuracy()) return;
  {
    std::lock_guard<std::mutex> lk(LocationLock);
    if (LocationReleases != releases || LocationInterface) return;
    LocationInterface = created.release();
  }
  for (;;) {
    LatLongReport report;
    bool got;
    {
      std::lock_guard<std::mutex> lk(LocationLock);
      if (!LocationInterface) return;  // released
      got = LocationPoll(*LocationInterface, report);
    }
    if (got) LocationReport(report);
    std::this_thread::sleep_for(interval);
  }
}

void LocationThreadStart() {
  try {
    std::thread([] { LocationThread(); }).detach();
  } catch (const std::system_error &) {
    // No thread: the position then comes from the NMEA sources alone.
  }
}
