// Serial input end to end: ports listed in the test's registry hive, made of socat
// pseudo-terminal pairs, switched on through "/getSetHostStat/"; and the recorded log
// played back until the page's poll shows the ship and its track.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/nav.h"
#include "nav/serial.h"
#include "tests/support/serial_ports.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

const TestEnv &Env() {
  static TestEnv env;
  static bool started = (StartTestServer(env), true);
  (void)started;
  return env;
}

std::string Poll(int serial) {
  auto r = HttpPost("/getSetHostStat/86400/50/" + std::to_string(serial) + "/0", "{\"page\":1}");
  EXPECT_TRUE(r);
  return r ? r->body : std::string();
}

class SerialPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    Env();
    rec().clear();
    SerialSentenceSink = SentenceRecorder::Sink;
    Poll(0);
  }
  void TearDown() override {
    Poll(0);
    SerialSentenceSink = NmeaHandleSentence;
  }
  static SentenceRecorder &rec() { return SentenceRecorder::instance(); }
  std::string folder(const char *name) { return Env().root() + "/" + name + std::to_string(++count_); }
  int count_ = 0;
};

TEST_F(SerialPorts, EveryListedPortIsReadUntilInputIsSwitchedOff) {
  SocatPair a(folder("a")), b(folder("b"));
  ASSERT_TRUE(a.ok());
  ASSERT_TRUE(b.ok());
  WriteSerialPortList({{"\\Device\\Serial0", a.portName()}, {"\\Device\\Serial1", b.portName()}});
  Poll(1);
  ASSERT_TRUE(a.write("$GPRMC,from-a*00\r\n"));
  ASSERT_TRUE(b.write("junk$GPRMC,from-b*00\r\n"));
  EXPECT_TRUE(rec().waitFor("$GPRMC,from-a*00"));
  EXPECT_TRUE(rec().waitFor("junk$GPRMC,from-b*00"));

  Poll(0);
  ASSERT_TRUE(a.write("$GPRMC,late-a*00\r\n"));
  ASSERT_TRUE(b.write("$GPRMC,late-b*00\r\n"));
  // Each reader ends after that read and lets its port go.
  EXPECT_TRUE(WaitPortFree(a.nearPath()));
  EXPECT_TRUE(WaitPortFree(b.nearPath()));
  std::vector<std::string> got = rec().lines();
  std::sort(got.begin(), got.end());  // the two readers run side by side
  EXPECT_EQ(got, (std::vector<std::string>{"$GPRMC,from-a*00", "junk$GPRMC,from-b*00"}));
}

TEST_F(SerialPorts, ARestartWhileThePortIsHeldKeepsTheFirstReader) {
  SocatPair a(folder("a"));
  ASSERT_TRUE(a.ok());
  WriteSerialPortList({{"\\Device\\Serial0", a.portName()}});
  Poll(1);
  ASSERT_TRUE(a.write("$A*00\n"));
  ASSERT_TRUE(rec().waitFor("$A*00"));
  // Off and on again while the first reader still waits in its read: the new reader
  // cannot have the port and ends, the first one goes on.
  Poll(0);
  Poll(1);
  ASSERT_TRUE(a.write("$B*00\n$C*00\n"));
  ASSERT_TRUE(rec().waitFor("$C*00"));
  EXPECT_EQ(rec().lines(), (std::vector<std::string>{"$A*00", "$B*00", "$C*00"}));
  a.stop();  // the far end goes away: the reader ends
  Poll(0);
}

TEST_F(SerialPorts, FarEndClosingEndsTheReaderWhileInputIsOn) {
  SocatPair a(folder("a"));
  ASSERT_TRUE(a.ok());
  WriteSerialPortList({{"\\Device\\Serial0", a.portName()}});
  Poll(1);
  ASSERT_TRUE(a.write("$A*00\n"));
  ASSERT_TRUE(rec().waitFor("$A*00"));
  std::string port = a.nearPath();
  a.stop();
  // The reader closes its descriptor although serial input is still on.
  EXPECT_TRUE(WaitNoDescriptorOn(port));
  EXPECT_EQ(PosState.serialInput.load(), 1);
}

}  // namespace
