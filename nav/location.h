// The location source: polls the desktop location service once a second while no NMEA
// fix stands and turns each report that closely follows the one before into a fix.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/location.h"

using LocationFactory = std::function<std::unique_ptr<LocationService>()>;

inline constexpr std::chrono::milliseconds kLocationPollInterval{1000};

// Thread body: creates the location object, asks it for exact reports, keeps it in
// LocationInterface and polls it every interval until ReleaseLocationInterface takes it
// away. Ends at once, quietly, when the object cannot be created or refuses the request.
void LocationThread(const LocationFactory &create = LocationServiceCreate,
                    std::chrono::milliseconds interval = kLocationPollInterval);

// One pass's question to the service: asked only while PosState.fix is 0 or less (none,
// or our own) or 999 (simulated input). True when a report came back.
bool LocationPoll(LocationService &location, LatLongReport &report);

// Speed and course from the previous report to this one; hands the fix on when the two
// are more than 0.1 s and less than 15 s apart and NMEA over TCP is off. The report
// always becomes the previous one.
void LocationReport(const LatLongReport &report);

// Releases the location object, waiting for a call on it to finish; the thread then ends.
// Registered to run at exit.
void ReleaseLocationInterface();
