// NMEA checksum, AIS fragment assembly and the six-bit reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/hex.h"
#include "nav/ais/ais_codec.h"
#include "tests/nav/ais_test_util.h"

using ais_test::Sentence;
using ais_test::WithChecksum;

TEST(NmeaCheck, ChecksumForms) {
  struct Case {
    const char *line;
    int check;     // NmeaCheck
    int assemble;  // AisAssemble from idle
  };
  const std::string good = "!AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0*5D";
  const std::string other = "!AIVDM,1,1,,B,13aDp<PP000IwSlN?Wm@0?wN2<1T,0*29";
  const std::string tail = good + "\r\n junk";
  const std::string logLine = "!AIVDM,1,1,,A,B4`:mH0000LQ<18Vbd78bPP63P06,0*69";
  const std::string front = "xx" + good;
  const Case cases[] = {
      {good.c_str(), 0, 0},
      {tail.c_str(), 0, 0},      // text after the two digits is ignored
      {front.c_str(), 0, 0},     // text in front of the start
      {other.c_str(), 0, 0},
      {logLine.c_str(), 0, 0},
      {"!AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0*5d", 0, 0},  // lower-case digits
      {"!AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0*5", 1, 2},   // one digit
      {"!AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0*", 1, 2},
      {"!AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0*5G", 1, 2},
      {"!AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0*5E", 2, 2},  // wrong sum
      {"!AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0", 2, 2},     // no '*'
      {"!AIVDM,1,1,,A,139Lg!0wQs0eid0REA09:GD00000,0*5D", 2, 2},  // second start
      {"AIVDM,1,1,,A,139Lg00wQs0eid0REA09:GD00000,0*5D", 2, 2},   // no start at all
      {"", 2, 2},
  };
  for (const Case &c : cases) {
    uint8_t x = 0;
    EXPECT_EQ(NmeaCheck(c.line, &x), c.check) << c.line;
    AisAssemblyState = AisAssemblyStateRec{};
    EXPECT_EQ(AisAssemble(c.line, AisAssemblyState), c.assemble) << c.line;
  }
  uint8_t x = 0;
  EXPECT_EQ(NmeaCheck(nullptr, &x), 2);
  EXPECT_EQ(NmeaCheck(good.c_str(), nullptr), 2);
  EXPECT_EQ(NmeaChecksum(nullptr, &x), 1);
  EXPECT_EQ(NmeaChecksum("$GPXX*", &x), 0);
  EXPECT_EQ(x, 'G' ^ 'P' ^ 'X' ^ 'X');
  EXPECT_EQ(NmeaChecksum("$AB$C*", &x), 1);  // a second start ends the range without '*'

  const char digits[] = "0123456789ABCDEFabcdefGg/:@`";
  const int values[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                        10, 11, 12, 13, 14, 15, 255, 255, 255, 255, 255, 255};
  for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i)
    EXPECT_EQ(HexDigitValue(digits[i]), values[i]) << digits[i];
}

// Sequences of sentences from an idle state: the result of each, and the payload held
// after the last complete message.
TEST(AisAssemble, FragmentSequences) {
  struct Step {
    std::string line;
    int result;
  };
  struct Case {
    const char *name;
    std::vector<Step> steps;
    std::string payload;  // held after the last step
  };
  const std::string a200(200, '1'), b200(200, '2');
  const Case cases[] = {
      {"single, empty sequence field", {{Sentence("15M"), 0}}, "15M"},
      {"other talker and '$' head", {{WithChecksum("$GPVDO,1,1,,A,15M,0"), 0}}, "15M"},
      {"VDX is not AIS", {{WithChecksum("!AIVDX,1,1,,A,15M,0"), 3}}, ""},
      {"head shorter than its id", {{WithChecksum("!AI"), 3}, {"*00!*", 3}}, ""},
      {"count 0 completes at once", {{Sentence("15M", 0, 7), 0}}, "15M"},
      {"fragment 2 of 2 while idle", {{Sentence("abc", 2, 2, "5"), 0}}, "abc"},
      {"two fragments", {{Sentence("5ab", 2, 1, "3"), 1}, {Sentence("cd", 2, 2, "3"), 0}}, "5abcd"},
      {"three fragments, count of continuations not compared",
       {{Sentence("1", 3, 1, "7"), 1}, {Sentence("2", 9, 2, "7"), 1}, {Sentence("3", 0, 3, "7"), 0}},
       "123"},
      {"other sequence id restarts with a first fragment",
       {{Sentence("5ab", 2, 1, "3"), 1}, {Sentence("5xy", 2, 1, "4"), 1}, {Sentence("z", 2, 2, "4"), 0}},
       "5xyz"},
      {"a single message between fragments is not lost",
       {{Sentence("5ab", 2, 1, "3"), 1}, {Sentence("15M"), 0}, {Sentence("cd", 2, 2, "3"), 0}},
       "cd"},
      {"continuation of another sequence is dropped",
       {{Sentence("5ab", 2, 1, "3"), 1}, {Sentence("cd", 2, 2, "4"), 5}, {Sentence("15M"), 0}},
       "15M"},
      // A late fragment 2 after the abandonment starts a message of its own, still open.
      {"skipped fragment",
       {{Sentence("1", 3, 1, "2"), 1}, {Sentence("3", 3, 3, "2"), 5}, {Sentence("2", 3, 2, "2"), 1}},
       "2"},
      {"payload cut at 255",
       {{Sentence(a200, 2, 1, "1"), 1}, {Sentence(b200, 2, 2, "1"), 0}},
       a200 + std::string(55, '2')},
      // '*' after the fragment number: field 3 holds the digits, field 4 is missing. The
      // refused sentence leaves no half-started message behind.
      {"text ends after field 2",
       {{WithChecksum("!AIVDM,1,1"), 4}, {Sentence("15M"), 0}}, "15M"},
      {"text ends before the payload",
       {{Sentence("5ab", 2, 1, "3"), 1}, {WithChecksum("!AIVDM,2,2,3"), 4}, {Sentence("cd", 2, 2, "3"), 0}},
       "5abcd"},
      {"empty payload field", {{Sentence(""), 0}}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    AisAssemblyState = AisAssemblyStateRec{};
    for (const Step &s : c.steps) EXPECT_EQ(AisAssemble(s.line.c_str(), AisAssemblyState), s.result) << s.line;
    EXPECT_EQ(std::string(AisAssemblyState.reader.payload), c.payload);
  }
}

TEST(AisAssemble, StateAfterSentences) {
  struct Case {
    std::string line;
    int32_t total, number, sequence;
  };
  AisAssemblyState = AisAssemblyStateRec{};
  const Case cases[] = {
      // Number fields take any byte as c - 48: "1A" is 1 * 10 + 17.
      {WithChecksum("!AIVDM,1A,1,2,A,5,0"), 27, 1, 2},
      {WithChecksum("!AIVDM,1A,2,2,A,5,0"), 27, 2, 2},
      {WithChecksum("!AIVDM,2,3,2,A,5,0"), 27, 3, 2},
      {WithChecksum("!AIVDM,2,9,2,A,5,0"), 0, 0, 0},  // out of sequence: idle
      // Wrap-around: 4294967297 reads as 1.
      {WithChecksum("!AIVDM,4294967298,4294967297,,A,5,0"), 2, 1, 0},
  };
  for (const Case &c : cases) {
    AisAssemble(c.line.c_str(), AisAssemblyState);
    EXPECT_EQ(AisAssemblyState.fragmentTotal, c.total) << c.line;
    EXPECT_EQ(AisAssemblyState.fragmentNumber, c.number) << c.line;
    EXPECT_EQ(AisAssemblyState.sequenceId, c.sequence) << c.line;
  }
}

TEST(SixbitRead, BitFields) {
  struct Case {
    const char *payload;
    std::vector<std::pair<int16_t, uint32_t>> reads;  // n, expected
  };
  const Case cases[] = {
      {"w", {{4, 15}, {6, 3}, {6, 0}, {1, 0}}},      // group 63; short at the end
      {"0X", {{12, 255}}},                           // 255 of 'X' added whole
      {"X", {{2, 15}, {4, 15}}},                     // top bits of 255: k + 2 bits set; rest all ones
      {"w", {{0, 0}, {-3, 0}, {6, 63}}},             // n <= 0 reads nothing
      {"1P", {{3, 0}, {5, 6}, {4, 0}}},              // 000001 100000
      {"`w0", {{18, (40u << 12) | (63u << 6)}}},     // lower armoured range
      {"W0", {{6, 39}, {6, 0}}},                     // upper end of the first range
      {"139Lg00w", {{6, 1}, {2, 0}, {30, 211234560}}},
      {"wwwwww", {{30, (1u << 30) - 1}, {6, 63}}},
      {"", {{6, 0}}},
  };
  for (const Case &c : cases) {
    SixbitState six{};
    std::snprintf(six.payload, sizeof six.payload, "%s", c.payload);
    six.readPos = six.payload;
    for (auto [n, want] : c.reads) EXPECT_EQ(SixbitRead(n, six), want) << c.payload << " n=" << n;
  }
}

TEST(AisSignExtendPos, RawToSigned) {
  struct Case {
    int32_t lat, lon, wantLat, wantLon;
  };
  const Case cases[] = {
      {0, 0, 0, 0},
      {1 << 26, 1 << 27, -(1 << 26), -(1 << 27)},
      {(1 << 26) - 1, (1 << 27) - 1, (1 << 26) - 1, (1 << 27) - 1},
      {(1 << 27) - 1, (1 << 28) - 1, -1, -1},
      {36000000, 6000000, 36000000, 6000000},
      {(1 << 27) - 36000000, (1 << 28) - 6000000, -36000000, -6000000},
  };
  for (const Case &c : cases) {
    int32_t lat = c.lat, lon = c.lon;
    AisSignExtendPos(lat, lon);
    EXPECT_EQ(lat, c.wantLat);
    EXPECT_EQ(lon, c.wantLon);
  }
}
