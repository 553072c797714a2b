// From the desktop location service to the page: a stand-in GeoClue2 on a private bus,
// the real client and poll thread, and the host-state route of the running server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "nav/location.h"
#include "tests/support/geoclue_stub.h"
#include "tests/support/testing.h"

namespace {

using testing_support::HttpPost;
using testing_support::WaitUntil;

// The poll thread, released and joined however the test ends.
struct PollThread {
  std::thread t{LocationThread, LocationServiceCreate, std::chrono::milliseconds(10)};
  ~PollThread() {
    ReleaseLocationInterface();
    t.join();
  }
};

TEST(LocationSource, PositionReachesTheHostStateAsANegativeFix) {
  testing_support::TestEnv env;
  PrivateBus bus;
  ASSERT_TRUE(bus.ok());
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
  const uint64_t t0 = 1700000000;
  GeoClueStub stub(bus.address(), {54.323, 10.139, 12.5, t0, 0});
  ASSERT_TRUE(stub.ok());
  testing_support::StartTestServer(env);

  PollThread poll;
  std::string state;
  bool moved = true, answered = true;
  // The service moves on by one second of its own time per round; two reads one second
  // apart make a fix.
  uint64_t i = 0;
  WaitUntil([&] {
    moved = stub.Move({54.323, 10.139, 12.5, t0 + ++i, 0});
    auto r = HttpPost("/getSetHostStat/86400/50/0/0", "{}");
    answered = r.has_value();
    if (moved && answered) state = r->body;
    return !moved || !answered || state.find("\"fix\":-12,") != std::string::npos;
  }, 10000);
  ASSERT_TRUE(moved);
  ASSERT_TRUE(answered);
  EXPECT_NE(state.find("\"fix\":-12,\"latY\":54.323000,\"lonX\":10.139000,\"heading\":0,"),
            std::string::npos)
      << state;
  EXPECT_NE(state.find("\"speed\":0.0,"), std::string::npos) << state;
}

}  // namespace
