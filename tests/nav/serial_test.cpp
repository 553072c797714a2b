// Serial readers on real pseudo-terminals and the playback file, with the delivered
// sentences recorded in place of the sentence handler.
#include "nav/serial.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <ctime>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/nav.h"
#include "tests/support/serial_ports.h"
#include "tests/support/testing.h"

using testing_support::PtyPair;
using testing_support::SentenceRecorder;
using Lines = std::vector<std::string>;

namespace {

class SerialReader : public ::testing::Test {
 protected:
  void SetUp() override {
    recorder().clear();
    SerialSentenceSink = SentenceRecorder::Sink;
    PosState.serialInput = 1;
    PosState.tcpInput = 0;
  }
  void TearDown() override {
    for (std::thread &t : readers_)
      if (t.joinable()) t.join();
    SerialSentenceSink = NmeaHandleSentence;
    PosState.serialInput = 0;
    PosState.tcpInput = 0;
  }
  static SentenceRecorder &recorder() { return SentenceRecorder::instance(); }

  std::thread &startReader(const std::string &path) {
    auto context = std::make_unique<SerialPortContext>();
    context->devicePath = path;
    readers_.emplace_back(PortThread, std::move(context));
    return readers_.back();
  }

  // Sends bytes followed by a closing sentence, waits for that sentence, then hangs the
  // port up and waits for the reader to end. One write lands in one read, so every line
  // before the closing one has been handled by then.
  Lines deliver(const std::string &bytes) {
    PtyPair pty;
    std::thread &reader = startReader(pty.slavePath());
    EXPECT_TRUE(pty.write(bytes + "$END*00\r\n"));
    EXPECT_TRUE(recorder().waitFor("$END*00"));
    pty.closeMaster();
    reader.join();
    Lines got = recorder().lines();
    if (!got.empty() && got.back() == "$END*00") got.pop_back();
    return got;
  }

  testing_support::TestEnv env_;
  std::list<std::thread> readers_;  // references to its threads stay valid
};

TEST_F(SerialReader, FilterPassesSentenceShapedLinesWhole) {
  struct Case {
    const char *name;
    std::string sent;
    Lines got;
  } cases[] = {
      {"plain sentence", "$GPRMC,1,A*3F\r\n", {"$GPRMC,1,A*3F"}},
      {"LF only", "$SDDPT,2.2,0.0*47\n", {"$SDDPT,2.2,0.0*47"}},
      {"bytes before the $ go with it", "xx\x01$GPGGA,1*00\r\n", {"xx\x01$GPGGA,1*00"}},
      {"AIS line", "!AIVDM,1,1,,A,13aG?P0P00PD;88MD5MTDww@2<0L,0*5C\r\n",
       {"!AIVDM,1,1,,A,13aG?P0P00PD;88MD5MTDww@2<0L,0*5C"}},
      {"second $ before *", "$GPRMC,$GPGGA*00\r\n", {}},
      {"! after $ before *", "$GPRMC,!AI*00\r\n", {}},
      {"no *", "$GPRMC,1,A\r\n", {}},
      {"* before the $ only", "*$GPRMC\r\n", {}},
      {"empty lines", "\r\n\n", {}},
      {"CR inside ends the text", "$GPRMC,1*00\rjunk\r\n$GPRMC,2\r*00\r\n", {"$GPRMC,1*00"}},
      {"a later sentence after a dropped one", "$A,$B*00\r\n$C*01\n", {"$C*01"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    recorder().clear();
    EXPECT_EQ(deliver(c.sent), c.got);
  }
}

TEST_F(SerialReader, LongLinesAreCutToTheWorkingCopy) {
  std::string full = "$GPTXT,*" + std::string(1024 - 8, 'x');  // fills the buffer, no LF
  std::string longLine = "$GPTXT,*" + std::string(300, 'y');
  Lines got = deliver(full + "\r\n" + longLine + "\r\n");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], full.substr(0, 259));
  EXPECT_EQ(got[1], longLine.substr(0, 259));
}

TEST_F(SerialReader, LineSplitOverTwoWritesIsJoined) {
  PtyPair pty;
  std::thread &reader = startReader(pty.slavePath());
  ASSERT_TRUE(pty.write("$GPRMC,1"));
  // Let the first half end its read before the rest comes (the reader's gap is 50 ms).
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(pty.write("23,A*00\r"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(pty.write("\n$END*00\n"));
  ASSERT_TRUE(recorder().waitFor("$END*00"));
  pty.closeMaster();
  reader.join();
  EXPECT_EQ(recorder().lines(), (Lines{"$GPRMC,123,A*00", "$END*00"}));
}

TEST_F(SerialReader, HangUpDeliversWhatCameAndEndsTheReader) {
  PtyPair pty;
  std::thread &reader = startReader(pty.slavePath());
  ASSERT_TRUE(pty.write("$A*00\n$B*00"));  // the last line has no end yet
  ASSERT_TRUE(recorder().waitFor("$A*00"));
  pty.closeMaster();
  reader.join();  // a reader that took the hang-up for silence would never end
  EXPECT_EQ(recorder().lines(), (Lines{"$A*00", "$B*00"}));
}

TEST_F(SerialReader, SwitchingInputOffEndsTheReaderAfterItsNextRead) {
  PtyPair pty;
  std::thread &reader = startReader(pty.slavePath());
  ASSERT_TRUE(pty.write("$A*00\n"));
  ASSERT_TRUE(recorder().waitFor("$A*00"));
  PosState.serialInput = 0;
  ASSERT_TRUE(pty.write("$B*00\n"));
  reader.join();
  EXPECT_EQ(recorder().lines(), (Lines{"$A*00"}));
  // The port is let go although the far end is still there.
  EXPECT_TRUE(testing_support::WaitPortFree(pty.slavePath()));
}

TEST_F(SerialReader, TcpSourceMakesReadersDropTheirLines) {
  // The first sentence switches the TCP source on from the reader's own thread, so the
  // lines behind it in the same read meet it switched on.
  recorder().onLine([](const std::string &line) {
    if (line == "$A*00") PosState.tcpInput = 1;
  });
  PtyPair pty;
  std::thread &reader = startReader(pty.slavePath());
  ASSERT_TRUE(pty.write("$A*00\n$B*00\n!AIVDM,x*00\n$C*00"));
  ASSERT_TRUE(recorder().waitFor("$A*00"));
  pty.closeMaster();
  reader.join();
  EXPECT_EQ(recorder().lines(), (Lines{"$A*00"}));
}

TEST_F(SerialReader, SecondReaderOfAHeldPortEndsAtOnce) {
  PtyPair pty;
  std::thread &first = startReader(pty.slavePath());
  ASSERT_TRUE(pty.write("$A*00\n"));
  ASSERT_TRUE(recorder().waitFor("$A*00"));
  std::thread &second = startReader(pty.slavePath());
  second.join();
  ASSERT_TRUE(pty.write("$B*00\n$C*00\n"));
  ASSERT_TRUE(recorder().waitFor("$C*00"));
  pty.closeMaster();
  first.join();
  // Every sentence once: the held port was not read twice.
  EXPECT_EQ(recorder().lines(), (Lines{"$A*00", "$B*00", "$C*00"}));
}

TEST_F(SerialReader, PortThatDoesNotOpenEndsTheReader) {
  std::thread &reader = startReader("/dev/marolin-no-such-port");
  reader.join();
  EXPECT_TRUE(recorder().lines().empty());
}

// The playback file against a trip database of the test's own.
class Playback : public ::testing::Test {
 protected:
  void SetUp() override {
    recorder().clear();
    SerialSentenceSink = SentenceRecorder::Sink;
    if (!HostConfig.DbMutex) HostConfig.DbMutex = sqlite3_mutex_alloc(SQLITE_MUTEX_FAST);
    DbHandle db = DbOpen((env_.workDir() + "/trip.db").c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, true);
    sqlite3_exec(db.get(),
                 "CREATE TABLE log (id INTEGER PRIMARY KEY AUTOINCREMENT, ts INTEGER, x DOUBLE, y DOUBLE,t "
                 "INTEGER,v TEXT);"
                 "INSERT INTO log (ts,x,y,t,v) VALUES (100,1,2,1,''),(101,3,4,1,'')",
                 nullptr, nullptr, nullptr);
    HostConfig.TripDb.set(db);
    PosState.now = 5;
  }
  void TearDown() override {
    HostConfig.TripDb.close();
    SerialSentenceSink = NmeaHandleSentence;
  }
  static SentenceRecorder &recorder() { return SentenceRecorder::instance(); }

  // The log rows as "ts x y t v".
  Lines logRows() {
    Lines rows;
    DbHandle db = HostConfig.TripDb.get();
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db.get(), "SELECT ts,x,y,t,v FROM log ORDER BY id", -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) {
      char row[256];
      std::snprintf(row, sizeof row, "%lld %g %g %d %s", sqlite3_column_int64(st, 0), sqlite3_column_double(st, 1),
                    sqlite3_column_double(st, 2), sqlite3_column_int(st, 3),
                    reinterpret_cast<const char *>(sqlite3_column_text(st, 4)));
      rows.push_back(row);
    }
    sqlite3_finalize(st);
    return rows;
  }

  testing_support::TestEnv env_;
};

TEST_F(Playback, FeedsEveryLineAfterEmptyingTheLog) {
  std::string longLine(1500, 'z');
  struct Case {
    const char *name;
    std::string content;
    Lines fed;
  } cases[] = {
      {"lines as read, last without end", "$GPRMC,1*00\n\nno sentence\n!AIVDM,2*00",
       {"$GPRMC,1*00\n", "\n", "no sentence\n", "!AIVDM,2*00"}},
      {"CR LF read as LF, a lone CR kept", "$A*00\r\n$B\r*00\r\n", {"$A*00\n", "$B\r*00\n"}},
      {"long lines in chunks of 999", longLine + "\n", {longLine.substr(0, 999), longLine.substr(999) + "\n"}},
      {"empty file", "", {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    recorder().clear();
    std::string path = env_.workDir() + "/Marolin/nmea.log";
    testing_support::WriteFile(path, c.content);
    int64_t before = static_cast<int64_t>(std::time(nullptr));
    NmeaPlaybackThread(path);
    int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_EQ(recorder().lines(), c.fed);
    Lines rows = logRows();
    ASSERT_EQ(rows.size(), 1u);
    int64_t ts = std::stoll(rows[0]);
    EXPECT_GE(ts, before);
    EXPECT_LE(ts, after);
    EXPECT_EQ(rows[0], std::to_string(ts) + " 999 999 2 NMEA playback starts");
    EXPECT_EQ(PosState.now.load(), ts);
  }
}

TEST_F(Playback, MissingFileLeavesTheLogAlone) {
  Lines rows = logRows();
  NmeaPlaybackThread(env_.workDir() + "/Marolin/nmea.log");
  EXPECT_TRUE(recorder().lines().empty());
  EXPECT_EQ(logRows(), rows);
  EXPECT_EQ(PosState.now.load(), 5);
}

TEST_F(Playback, LinesAreFedWithoutATripDatabase) {
  HostConfig.TripDb.close();
  std::string path = env_.workDir() + "/Marolin/nmea.log";
  testing_support::WriteFile(path, "$A*00\n");
  NmeaPlaybackThread(path);
  EXPECT_EQ(recorder().lines(), (Lines{"$A*00\n"}));
}

}  // namespace
