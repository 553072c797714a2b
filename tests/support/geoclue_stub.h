// A private D-Bus daemon and a stand-in GeoClue2 service on it (geoclue_stub.py), for
// the tests of the location source. Both are child processes of the test and end with
// their objects.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus &) = delete;
  PrivateBus &operator=(const PrivateBus &) = delete;
  bool ok() const { return !address_.empty(); }
  const std::string &address() const { return address_; }
  const std::string &dir() const { return dir_; }

 private:
  std::string dir_;
  std::string address_;
  pid_t pid_ = -1;
};

struct StubPosition {
  double latitude, longitude, accuracy;
  uint64_t seconds, microseconds;
};

class GeoClueStub {
 public:
  GeoClueStub(const std::string &busAddress, const StubPosition &start);
  ~GeoClueStub();
  GeoClueStub(const GeoClueStub &) = delete;
  GeoClueStub &operator=(const GeoClueStub &) = delete;
  bool ok() const { return ready_; }

  // A new position, published as a new location object once the client has started.
  bool Move(const StubPosition &p);
  // Start is refused from now on, as when the user withholds consent.
  bool DenyStart();
  // A property of the one client, printed in GVariant text form ("'marolin'", "uint32 8").
  std::string ClientProperty(const char *name);

 private:
  std::string address_;
  pid_t pid_ = -1;
  bool ready_ = false;
};
