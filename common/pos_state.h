// PosState: the own-ship record, written by the navigation sources and read (and partly
// set) by the host-state route. Every field is an atomic of its own, so readers on other
// threads never see a torn value (a reply may still mix values of two sentences).
#pragma once

#include <atomic>
#include <cstdint>

// PosState.fix beyond what a receiver reports (a fix quality, or 0 for none; the location
// service's own fixes are negative).
constexpr int kFixSimulated = 999;   // simulated input
constexpr int kFixTcpWaiting = 998;  // NMEA over TCP chosen, its link not running
// PosState.lat and lon before the first position.
constexpr double kNoPosition = 999.0;

struct PosStateRec {
  std::atomic<int64_t> now{0};
  std::atomic<int64_t> gpsTime{0};
  std::atomic<int> fix{0};
  std::atomic<int> serialInput{0};
  std::atomic<int> tcpInput{0};
  std::atomic<double> lat{kNoPosition};
  std::atomic<double> lon{kNoPosition};
  std::atomic<double> speed{0};
  std::atomic<double> heading{0};
  std::atomic<double> dbs{0};
  std::atomic<double> dbt{0};
  std::atomic<double> dbk{0};
  std::atomic<double> hdop{0};
  std::atomic<int> trackMinDistance{50};
  std::atomic<int> trackMaxInterval{86400};
  std::atomic<double> lastLogLon{0};
  std::atomic<double> lastLogLat{0};
  std::atomic<int64_t> lastLogTime{0};
  std::atomic<int64_t> lastPassTime{0};
  std::atomic<int64_t> lastFixTime{0};
  std::atomic<int64_t> gpsTimeOffset{-1};
};

extern PosStateRec PosState;

// The reset of the database step: every field zero, then lat and lon kNoPosition,
// gpsTimeOffset -1, trackMinDistance 50 and trackMaxInterval 86400.
void PosStateReset();
