// Serial input end to end: ports listed in the test's registry hive, made of socat
// pseudo-terminal pairs, switched on through "/getSetHostStat/"; and the recorded log
// played back until the page's poll shows the ship and its track.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/nav.h"
#include "nav/serial.h"
#include "tests/support/serial_ports.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

const TestEnv &Env() { return SharedServerEnv(); }

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

// The page's view of the ship after real sentences: the reply of a poll.
class ShipInput : public SerialPorts {
 protected:
  void SetUp() override {
    SerialPorts::SetUp();
    SerialSentenceSink = NmeaHandleSentence;
    PosStateReset();
  }
  // Polls (without changing the switch) until the reply holds text; the last reply.
  std::string pollUntil(int serial, const std::string &text) {
    std::string body;
    WaitUntil([&] { return (body = Poll(serial)).find(text) != std::string::npos; }, 20000);
    return body;
  }
  static std::vector<std::string> Rows(const std::string &sql) {
    std::vector<std::string> rows;
    DbHandle db = HostConfig.TripDb.get();
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        const unsigned char *t = sqlite3_column_text(st, c);
        row += (c ? "|" : "") + std::string(t ? reinterpret_cast<const char *>(t) : "NULL");
      }
      rows.push_back(row);
    }
    sqlite3_finalize(st);
    return rows;
  }
};

TEST_F(ShipInput, SerialSentencesReachTheShipAndTheTrack) {
  SocatPair a(folder("a"));
  ASSERT_TRUE(a.ok());
  WriteSerialPortList({{"\\Device\\Serial0", a.portName()}});
  Poll(1);
  ASSERT_TRUE(a.write("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n"
                      "$SDDPT,4.25,-0.5*00\r\n"));
  std::string body = pollUntil(1, "\"dbk\":3.8,");
  EXPECT_NE(body.find("\"fix\":1,\"latY\":48.117300,\"lonX\":11.516667,\"heading\":84,"), std::string::npos)
      << body;
  EXPECT_NE(body.find("\"speed\":11.5,"), std::string::npos) << body;
  EXPECT_EQ(Rows("SELECT round(x,6),round(y,6),t FROM log WHERE t=1"),
            (std::vector<std::string>{"11.516667|48.1173|1"}));
  EXPECT_NE(body.find("\"track\":[[11.516667,48.117300,"), std::string::npos) << body;
  a.stop();
}

TEST_F(ShipInput, PlayedBackLogEndsInThePagesPoll) {
  // The recorded log without its comment lines, as the playback file.
  std::ifstream in(std::string(MAROLIN_TESTDATA_DIR) + "/nmea/humminbird-M37.log");
  ASSERT_TRUE(in);
  std::string log, line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') log += line + "\n";
  std::string playback = Env().workDir() + "/Marolin/nmea.log";
  WriteFile(playback, log);
  WriteSerialPortList({{"\\Device\\Serial0", "marolin-test-no-such-port"}});
  DbHandle db = HostConfig.TripDb.get();
  sqlite3_exec(db.get(), "INSERT INTO log (ts,x,y,t,v) VALUES (1,2,3,1,'old')", nullptr, nullptr, nullptr);

  // The last sentences of the log: RMC 4426.1219 N 07140.4965 W at 5.1 kn, course 85.4;
  // GGA with 10 satellites and HDOP 0.9; DPT 2.3 m with offset 0.
  std::string body = pollUntil(1, "\"latY\":44.435365,\"lonX\":-71.674942,");
  std::remove(playback.c_str());
  EXPECT_NE(body.find("\"fix\":10,\"latY\":44.435365,\"lonX\":-71.674942,\"heading\":85,\"dbs\":0.0,\"dbk\":2.3,"
                      "\"dbt\":0.0,\"speed\":2.6,\"hdop\":0.9,"),
            std::string::npos)
      << body;

  // The track: the first position of the log comes first, then points at least a second
  // apart; the old row is gone and the playback marker is there.
  auto at = body.find("\"track\":[");
  ASSERT_NE(at, std::string::npos);
  std::vector<long long> times;
  std::string track = body.substr(at + 9);
  EXPECT_EQ(track.rfind("[-71.675993,44.435217,", 0), 0u) << body;
  for (size_t p = track.find('['); p != std::string::npos; p = track.find('[', p + 1)) {
    double x, y;
    long long ts;
    ASSERT_EQ(std::sscanf(track.c_str() + p, "[%lf,%lf,%lld]", &x, &y, &ts), 3);
    times.push_back(ts);
  }
  ASSERT_FALSE(times.empty());
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 1);
  EXPECT_EQ(Rows("SELECT count(*) FROM log WHERE v='old'"), (std::vector<std::string>{"0"}));
  EXPECT_EQ(Rows("SELECT x,y,t,v FROM log WHERE t=2"),
            (std::vector<std::string>{"999.0|999.0|2|NMEA playback starts"}));
  // Each logged point stored the body the page posted.
  EXPECT_EQ(Rows("SELECT v FROM kvt WHERE k='settings'"), (std::vector<std::string>{"{\"page\":1}"}));
}

}  // namespace
