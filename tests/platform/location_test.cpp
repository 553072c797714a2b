// The GeoClue2 backend against a stand-in service on a private bus started by the test.
#include "platform/location.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/geoclue_stub.h"

namespace {

const StubPosition kKiel{54.323, 10.139, 12.5, 1700000000, 250000};

class GeoClueBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok());
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
  }
  PrivateBus bus;
};

TEST(GeoClueCreate, FailsWithoutBusOrService) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/marolin-bus", 1);
  EXPECT_EQ(LocationServiceCreate(), nullptr);

  PrivateBus empty;  // a bus, but nobody serves the location
  ASSERT_TRUE(empty.ok());
  setenv("DBUS_SYSTEM_BUS_ADDRESS", empty.address().c_str(), 1);
  EXPECT_EQ(LocationServiceCreate(), nullptr);
}

TEST_F(GeoClueBackend, ReportsTheCurrentLocationOnceStarted) {
  GeoClueStub stub(bus.address(), kKiel);
  ASSERT_TRUE(stub.ok());
  std::unique_ptr<LocationService> loc = LocationServiceCreate();
  ASSERT_NE(loc, nullptr);
  EXPECT_EQ(stub.ClientProperty("DesktopId"), "'marolin'");

  LatLongReport r;
  EXPECT_FALSE(loc->GetReport(r));  // not started: no location object yet
  ASSERT_TRUE(loc->SetDesiredAccuracy());
  EXPECT_EQ(stub.ClientProperty("RequestedAccuracyLevel"), "uint32 8");
  EXPECT_EQ(stub.ClientProperty("Active"), "true");
  EXPECT_TRUE(loc->SetDesiredAccuracy());  // asking again is harmless

  ASSERT_TRUE(loc->GetReport(r));
  EXPECT_EQ(r.latitude, 54.323);
  EXPECT_EQ(r.longitude, 10.139);
  EXPECT_EQ(r.errorRadius, 12.5);
  EXPECT_EQ(r.timestamp, 133444736002500000ULL);

  // An update publishes a new location object; the next report follows it.
  ASSERT_TRUE(stub.Move({-33.5, -70.25, 0.5, 1700000001, 999999}));
  ASSERT_TRUE(loc->GetReport(r));
  EXPECT_EQ(r.latitude, -33.5);
  EXPECT_EQ(r.longitude, -70.25);
  EXPECT_EQ(r.errorRadius, 0.5);
  EXPECT_EQ(r.timestamp, UnixToFileTime(1700000001, 999999));
}

TEST_F(GeoClueBackend, RefusedStartFailsTheAccuracyRequest) {
  GeoClueStub stub(bus.address(), kKiel);
  ASSERT_TRUE(stub.ok());
  ASSERT_TRUE(stub.DenyStart());
  std::unique_ptr<LocationService> loc = LocationServiceCreate();
  ASSERT_NE(loc, nullptr);
  EXPECT_FALSE(loc->SetDesiredAccuracy());
  LatLongReport r;
  EXPECT_FALSE(loc->GetReport(r));
}

TEST(GeoClueLoss, ServiceAndBusGoingAwayOnlyStopTheReports) {
  auto bus = std::make_unique<PrivateBus>();
  ASSERT_TRUE(bus->ok());
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->address().c_str(), 1);
  auto stub = std::make_unique<GeoClueStub>(bus->address(), kKiel);
  ASSERT_TRUE(stub->ok());
  std::unique_ptr<LocationService> loc = LocationServiceCreate();
  ASSERT_NE(loc, nullptr);
  ASSERT_TRUE(loc->SetDesiredAccuracy());
  LatLongReport r = {1, 2, 3, 4};
  ASSERT_TRUE(loc->GetReport(r));

  stub.reset();
  LatLongReport kept = r;
  EXPECT_FALSE(loc->GetReport(r));
  EXPECT_EQ(r.timestamp, kept.timestamp);
  bus.reset();
  EXPECT_FALSE(loc->GetReport(r));
  EXPECT_EQ(r.latitude, kept.latitude);
  // The closed connection is announced on the default main context, which the window
  // runs; the process must go on.
  for (int i = 0; i < 20; ++i) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  SUCCEED();
}

}  // namespace
