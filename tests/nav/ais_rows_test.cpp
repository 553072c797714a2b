// AIS rows and the poll document: row formats, world coordinates, quoting, base-station
// time, message 24 pairing, and the buffer the page empties.
//
// The first test must stay first: it needs the process state before any message 4 and
// before any message 24 part A (GoogleTest runs the tests of a file in order).
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/sockbuf.h"
#include "nav/ais/ais.h"
#include "nav/ais/ais_codec.h"
#include "nav/ais/ais_rows_buffer.h"
#include "tests/nav/ais_test_util.h"

using ais_test::BitWriter;
using ais_test::Sentence;

namespace {

std::string Row(const std::string &line) {
  char row[kAisRowSize];
  size_t n = AisDecodeRow(line.c_str(), row);
  return std::string(row, n);
}

std::string Poll() {
  SockBuf w;
  SockBufInit(w);
  AisWriteJson(w);
  return std::string(w.buf, static_cast<size_t>(w.outLen));
}

const std::string kHeader = "{\"nmea_stat\":0,\"ais\":[\n";

std::string PositionReport(uint32_t mmsi, int id = 1, int32_t lat = 0, int32_t lon = 0) {
  BitWriter w;
  w.put(id, 6).put(0, 2).put(mmsi, 30).put(0, 4).put(0, 8).put(10, 10).put(0, 1);
  w.putSigned(lon, 28).putSigned(lat, 27).put(900, 12).put(90, 9).put(0, 6).put(0, 4);
  w.put(0, 1 + 1 + 2 + 13 + 3 + 1);
  return Sentence(w.armour());
}

std::string BaseStation(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                        uint32_t second) {
  BitWriter w;
  w.put(4, 6).put(0, 2).put(2190001, 30).put(year, 14).put(month, 4).put(day, 5).put(hour, 5);
  w.put(minute, 6).put(second, 6).put(0, 1).putSigned(6000000, 28).putSigned(36000000, 27);
  w.put(0, 4 + 10 + 1 + 2 + 3 + 14);
  return Sentence(w.armour());
}

std::string StaticA(uint32_t mmsi, const std::string &name) {
  BitWriter w;
  w.put(24, 6).put(0, 2).put(mmsi, 30).put(0, 2).text(name, 20);
  return Sentence(w.armour());
}

std::string StaticB(uint32_t mmsi) {
  BitWriter w;
  w.put(24, 6).put(0, 2).put(mmsi, 30).put(1, 2).put(37, 8).text("GRMD", 7).text("DK7547", 7);
  w.put(8, 9).put(3, 9).put(3, 6).put(1, 6).put(0, 6);
  return Sentence(w.armour());
}

}  // namespace

TEST(AisRows, BeforeAnyBaseStationOrPartA) {
  EXPECT_EQ(Row("!AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0*5D"),
            "[211234560,1,0,21127038,11624749,123,2345,234,-2,0]");
  // The saved part A starts all zero: a part B of MMSI 0 pairs with it, with no name.
  EXPECT_EQ(Row(StaticB(0)), "[0,24,0,0,0,\"DK7547\",\"\",37,\"GRMD\",0,8,3,3,1,-1]");
  EXPECT_EQ(Row(StaticB(5)), "");
}

TEST(AisRows, WorldCoordinates) {
  struct Case {
    int32_t lat, lon, y, x;
  };
  const Case cases[] = {
      {0, 0, 20015089, 20015089},
      {36000000, 6000000, 11624749, 21127038},     // 60 N, 10 E
      {-36000000, -6000000, 28405429, 18903139},   // 60 S, 10 W
      {0, -108000000, 20015089, 0},                // 180 W
      {0, 108600000, 20015089, 40141373},          // 181: not available, not special
      {54600000, 0, INT32_MIN, 20015089},          // 91: no finite value
      {54000000, 107999999, -222242237, 40030178},  // pole: far outside the square, still in range
  };
  for (const Case &c : cases) {
    int32_t x = 1, y = 1;
    LatLonToMercator(c.lat, c.lon, &y, &x);
    EXPECT_EQ(x, c.x) << c.lat << "/" << c.lon;
    EXPECT_EQ(y, c.y) << c.lat << "/" << c.lon;
  }
}

TEST(AisRows, QuotedTexts) {
  struct Case {
    const char *src, *quoted;
  };
  const Case cases[] = {
      {"SEA ENTERPRISE@@@@@@", "\"SEA ENTERPRISE\""},
      {"AB  @ CD", "\"AB\""},             // the first filler ends the text, blanks before it go
      {"  A B   ", "\"  A B\""},           // leading and inner blanks stay
      {"O'NEIL", "\"O\\'NEIL\""},         // apostrophe escaped, not strict JSON
      {"A/B\"C\\", "\"A\\/B\\\"C\\\\\""},
      {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
      {"@ABC", "\"\""},
      {"    ", "\"\""},
      {"", "\"\""},
      {"\x01\x7f\xe9", "\"\x01\x7f\xe9\""},  // other bytes unchanged
  };
  for (const Case &c : cases) {
    char dst[kAisRowSize];
    EXPECT_STREQ(JsonQuote6bit(dst, c.src), c.quoted) << c.src;
  }
  // An over-long text is cut, never written past the buffer.
  std::string longText(3000, '/');
  char dst[kAisRowSize];
  JsonQuote6bit(dst, longText.c_str());
  EXPECT_LT(std::strlen(dst), kAisRowSize);
  EXPECT_EQ(dst[std::strlen(dst) - 1], '"');
}

TEST(AisRows, BaseStationTimeConversion) {
  struct Case {
    int64_t y, mo, d, h, mi, s, want;
  };
  const Case cases[] = {
      {1970, 1, 1, 0, 0, 0, 0},
      {1969, 12, 31, 23, 59, 59, -1},
      {0, 0, 0, 24, 60, 60, -1},          // year 0: not available
      {2024, 6, 1, 12, 0, 0, 1717243200},
      {2024, 0, 1, 0, 0, 0, 1701388800},  // month 0: December before
      {2024, 3, 0, 0, 0, 0, 1709164800},  // day 0: 29 February
      {2023, 12, 31, 24, 0, 0, 1704067200},
      {2024, 6, 1, 12, 60, 60, 1717246860},
      {2024, 15, 31, 31, 63, 63, 1743494643},
      {3000, 12, 31, 23, 59, 59, 32535215999},
      {3000, 12, 31, 23, 59, 60, -1},
      {16383, 15, 31, 31, 63, 63, -1},
  };
  for (const Case &c : cases)
    EXPECT_EQ(AisUtcToTime(c.y, c.mo, c.d, c.h, c.mi, c.s), c.want) << c.y << "-" << c.mo << "-" << c.d;
}

TEST(AisRows, RowsBySequence) {
  struct Step {
    std::string line;
    std::string row;  // "" for no row
  };
  BitWriter m5;
  m5.put(5, 6).put(0, 2).put(371255000, 30).put(2, 2).put(9266633, 30).text("HP6683", 7);
  m5.text("SEA ENTERPRISE", 20).put(90, 8).put(13, 9).put(15, 9).put(1, 6).put(6, 6).put(1, 4);
  m5.put(256704, 20).put(14, 8).text("LEMMER  ", 20).put(0, 2);
  const std::string p5 = m5.armour();

  BitWriter m9;
  m9.put(9, 6).put(0, 2).put(111222333, 30).put(300, 12).put(140, 10).put(0, 1);
  m9.putSigned(6000000, 28).putSigned(36000000, 27).put(1234, 12).put(0, 6 + 8 + 1 + 3 + 1 + 1 + 1 + 19);

  BitWriter m18;
  m18.put(18, 6).put(0, 2).put(230108610, 30).put(0, 8).put(73, 10).put(0, 1);
  m18.putSigned(0, 28).putSigned(0, 27).put(2980, 12).put(298, 9).put(0, 6 + 2 + 8 + 19);

  BitWriter m19;
  m19.put(19, 6).put(0, 2).put(244123456, 30).put(0, 8).put(512, 10).put(1, 1);
  m19.putSigned(6000000, 28).putSigned(36000000, 27).put(100, 12).put(511, 9).put(0, 6 + 4);
  m19.text("O'NEIL", 20).put(37, 8).put(4, 9).put(5, 9).put(6, 6).put(7, 6).put(0, 4 + 1 + 1 + 5);

  BitWriter m21;
  m21.put(21, 6).put(0, 2).put(992351000, 30).put(30, 5).text("NOORD HINDER", 20).put(1, 1);
  m21.putSigned(6000000, 28).putSigned(36000000, 27).put(257, 9).put(258, 9).put(17, 6).put(18, 6);
  m21.put(0, 4 + 6 + 1 + 8 + 1 + 1 + 1 + 1).text("EXTRA", 14);

  BitWriter m27;  // long-range broadcast: not a row
  m27.put(27, 6).put(0, 90);

  const std::string t = "1717243200";
  const std::vector<Step> steps = {
      {BaseStation(2024, 6, 1, 12, 0, 0), "[2190001,4," + t + ",21127038,11624749]"},
      {PositionReport(211000001, 2), "[211000001,2," + t + ",20015089,20015089,10,900,90,0,0]"},
      {Sentence(p5.substr(0, 40), 2, 1, "7"), ""},
      {Sentence(p5.substr(40), 2, 2, "7"),
       "[371255000,5," + t + ",0,0,\"HP6683\",\"SEA ENTERPRISE\",90,\"LEMMER\",256704,13,15,1,6,14]"},
      {Sentence(m9.armour()), "[111222333,9," + t + ",21127038,11624749,140,1234,511,15]"},
      {Sentence(m18.armour()), "[230108610,18," + t + ",20015089,20015089,73,2980,298,15]"},
      {Sentence(m19.armour()), "[244123456,19," + t + ",0,0,\"\",\"O\\'NEIL\",37,\"\",0,4,5,6,7,-1]"},
      {Sentence(m21.armour()),
       "[992351000,21," + t + ",21127038,11624749,\"\",\"NOORD HINDER\",30,\"\",0,257,258,17,18,-1]"},
      {Sentence(m27.armour()), ""},
      {Sentence("X0000000000000000000000000000"), ""},  // id 255
      {Sentence(PositionReport(1).substr(14, 27)), ""},  // refused length
      // Year 0 gives the unconvertible time to its own row and to every later one.
      {BaseStation(0, 0, 0, 24, 60, 60), "[2190001,4,4294967295,21127038,11624749]"},
      {PositionReport(211000002, 3), "[211000002,3,4294967295,20015089,20015089,10,900,90,0,0]"},
      {BaseStation(1970, 1, 1, 0, 0, 1), "[2190001,4,1,21127038,11624749]"},
      {PositionReport(211000003), "[211000003,1,1,20015089,20015089,10,900,90,0,0]"},
  };
  for (const Step &s : steps) EXPECT_EQ(Row(s.line), s.row) << s.line;
}

TEST(AisRows, StaticDataPairing) {
  struct Case {
    const char *name;
    std::vector<std::string> lines;
    std::vector<std::string> rows;
  };
  const std::string b7 = "[244000007,24,1,0,0,\"DK7547\",\"LIBERTAS\",37,\"GRMD\",0,8,3,3,1,-1]";
  const Case cases[] = {
      {"part B of another MMSI", {StaticA(244000007, "LIBERTAS"), StaticB(244000008)}, {}},
      {"two part B of the same MMSI",
       {StaticA(244000007, "LIBERTAS"), StaticB(244000007), StaticB(244000007)}, {b7, b7}},
      {"only the last part A counts",
       {StaticA(244000007, "LIBERTAS"), StaticA(244000009, "SALUTI"), StaticB(244000007)}, {}},
      {"the saved part A is kept across other messages",
       {StaticA(244000007, "LIBERTAS"), PositionReport(1), StaticB(244000007)},
       {"[1,1,1,20015089,20015089,10,900,90,0,0]", b7}},
  };
  Row(BaseStation(1970, 1, 1, 0, 0, 1));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> rows;
    for (const std::string &l : c.lines) {
      std::string r = Row(l);
      if (!r.empty()) rows.push_back(r);
    }
    EXPECT_EQ(rows, c.rows);
  }
}

TEST(AisRows, PollDocument) {
  Row(BaseStation(1970, 1, 1, 0, 0, 1));
  Poll();
  EXPECT_EQ(Poll(), kHeader + "]}");
  AisHandleSentence(PositionReport(7).c_str());
  AisHandleSentence("!AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0*5E");  // bad checksum
  AisHandleSentence(PositionReport(8).c_str());
  EXPECT_EQ(Poll(), kHeader + "[7,1,1,20015089,20015089,10,900,90,0,0],\n"
                              "[8,1,1,20015089,20015089,10,900,90,0,0]]}");
  EXPECT_EQ(Poll(), kHeader + "]}");
  // Poll output goes behind what the writer already holds.
  SockBuf w;
  SockBufInit(w);
  OutAppendStr(w, "xy");
  AisHandleSentence(PositionReport(9).c_str());
  AisWriteJson(w);
  EXPECT_EQ(std::string(w.buf, w.outLen), "xy" + kHeader + "[9,1,1,20015089,20015089,10,900,90,0,0]]}");
}

// A page that stops polling: the oldest rows give way, whole, and the newest are kept.
TEST(AisRows, BufferBoundDropsOldestRows) {
  Row(BaseStation(1970, 1, 1, 0, 0, 1));
  Poll();
  const uint32_t first = 100000000, count = 100000;
  for (uint32_t i = 0; i < count; ++i) AisHandleSentence(PositionReport(first + i).c_str());
  std::string doc = Poll();
  ASSERT_EQ(doc.compare(0, kHeader.size(), kHeader), 0);
  ASSERT_EQ(doc.substr(doc.size() - 2), "]}");
  std::string rows = doc.substr(kHeader.size(), doc.size() - kHeader.size() - 2);
  EXPECT_LE(rows.size(), kAisRowBufferLimit);
  EXPECT_GT(rows.size(), kAisRowBufferLimit - 100);
  // Every row whole and the MMSIs consecutive up to the last one fed.
  size_t pos = 0;
  uint32_t expect = 0, kept = 0;
  while (pos < rows.size()) {
    size_t end = rows.find(",\n", pos);
    if (end == std::string::npos) end = rows.size();
    std::string row = rows.substr(pos, end - pos);
    ASSERT_EQ(row.front(), '[');
    ASSERT_EQ(row.back(), ']');
    uint32_t mmsi = static_cast<uint32_t>(std::stoul(row.substr(1)));
    if (kept == 0) expect = mmsi;
    ASSERT_EQ(mmsi, expect);
    ++expect;
    ++kept;
    pos = end + 2;
  }
  EXPECT_EQ(expect, first + count);
  EXPECT_LT(kept, count);
  EXPECT_EQ(Poll(), kHeader + "]}");
}

// Feeders on several threads and a poller: every row arrives once and whole.
TEST(AisRows, ConcurrentFeedersAndPoller) {
  Poll();
  const int threads = 3, perThread = 3000;
  std::vector<std::vector<std::string>> lines(threads);
  for (int t = 0; t < threads; ++t)
    for (int i = 0; i < perThread; ++i) lines[t].push_back(PositionReport(300000000 + t * perThread + i));
  std::atomic<int> done{0};
  std::vector<std::thread> feeders;
  for (int t = 0; t < threads; ++t)
    feeders.emplace_back([&, t] {
      for (const std::string &l : lines[t]) AisHandleSentence(l.c_str());
      ++done;
    });
  std::multiset<uint32_t> seen;
  auto collect = [&] {
    std::string doc = Poll();
    std::string rows = doc.substr(kHeader.size(), doc.size() - kHeader.size() - 2);
    for (size_t pos = 0; pos < rows.size();) {
      size_t end = rows.find(",\n", pos);
      if (end == std::string::npos) end = rows.size();
      std::string row = rows.substr(pos, end - pos);
      EXPECT_EQ(row.front(), '[');
      EXPECT_EQ(row.back(), ']');
      seen.insert(static_cast<uint32_t>(std::stoul(row.substr(1))));
      pos = end + 2;
    }
  };
  while (done < threads) collect();
  for (std::thread &f : feeders) f.join();
  collect();
  ASSERT_EQ(seen.size(), static_cast<size_t>(threads * perThread));
  EXPECT_EQ(std::set<uint32_t>(seen.begin(), seen.end()).size(), seen.size());
}
