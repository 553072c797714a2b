// Desktop location service: position reports from GeoClue2 on the D-Bus system bus, handed
// over with the timestamp as a count of 100-ns units since 1601 so that the location
// source's time arithmetic stays in one unit.
#pragma once

#include <cstdint>
#include <memory>

// The count of 1970-01-01 00:00 UTC, and the units in a second.
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
inline constexpr uint64_t kFileTimeTicksPerSecond = 10000000ULL;

struct LatLongReport {
  double latitude = 0;     // degrees, north positive
  double longitude = 0;    // degrees, east positive
  double errorRadius = 0;  // metres
  uint64_t timestamp = 0;  // 100-ns units since 1601-01-01 00:00 UTC
};

// One location object of this program. Implemented on GeoClue2 below; tests put a
// scripted source behind the same interface.
class LocationService {
 public:
  virtual ~LocationService() = default;
  // Asks for the most exact reports the service can give and starts the updates.
  // False when the service refuses.
  virtual bool SetDesiredAccuracy() = 0;
  // The service's current report. False when it has none yet or when any of the four
  // values cannot be read; the report is then left as it was.
  virtual bool GetReport(LatLongReport &report) = 0;
};

// Connects to GeoClue2 on the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured, as
// everywhere in GIO) and obtains a client for this program. Empty when there is no bus
// or no location service on it.
std::unique_ptr<LocationService> LocationServiceCreate();

// A Unix time given as seconds and microseconds, as a count of 100-ns units since 1601.
uint64_t UnixToFileTime(uint64_t seconds, uint64_t microseconds);
