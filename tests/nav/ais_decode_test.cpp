// AIS message decoders: accepted payload lengths and every field of every record, from
// payloads encoded field by field after the message tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nav/ais/ais_codec.h"
#include "tests/nav/ais_test_util.h"

using ais_test::BitWriter;

namespace {

// Puts payload into st as assembly leaves it and reads the message id, as the caller does.
void Load(AisAssemblyStateRec &st, const std::string &payload) {
  st = AisAssemblyStateRec{};
  std::snprintf(st.reader.payload, sizeof st.reader.payload, "%s", payload.c_str());
  st.reader.readPos = st.reader.payload;
  st.messageId = static_cast<uint8_t>(SixbitRead(6, st.reader));
}

// Decodes with the decoder of the given id into a record pre-filled with 0xAB; returns the
// code and whether the record was left untouched.
std::pair<int, bool> DecodeAs(int id, AisAssemblyStateRec &st) {
  union {
    AisMsg1_3 m1;
    AisMsg4 m4;
    AisMsg5 m5;
    AisMsg9 m9;
    AisMsg18 m18;
    AisMsg19 m19;
    AisMsg21 m21;
    AisMsg24 m24;
    unsigned char raw[512];
  } u;
  std::memset(&u, 0xAB, sizeof u);
  int rc = -1;
  switch (id) {
    case 1: rc = ParseMsg1_3(&st, &u.m1); break;
    case 4: rc = ParseMsg4(&st, &u.m4); break;
    case 5: rc = ParseMsg5(&st, &u.m5); break;
    case 9: rc = ParseMsg9(&st, &u.m9); break;
    case 18: rc = ParseMsg18(&st, &u.m18); break;
    case 19: rc = ParseMsg19(&st, &u.m19); break;
    case 21: rc = ParseMsg21(&st, &u.m21); break;
    case 24: rc = ParseMsg24(&st, &u.m24); break;
  }
  bool untouched = true;
  for (unsigned char c : u.raw) untouched = untouched && c == 0xAB;
  return {rc, untouched};
}

}  // namespace

TEST(AisDecode, AcceptedPayloadLengths) {
  struct Case {
    int id;
    char first;  // armoured id character
    int length;
    int result;
  };
  const Case cases[] = {
      {1, '1', 27, 2}, {1, '1', 28, 0}, {1, '1', 29, 2},
      {4, '4', 27, 2}, {4, '4', 28, 0}, {4, '4', 29, 2},
      {5, '5', 70, 2}, {5, '5', 71, 0}, {5, '5', 72, 2},
      {9, '9', 27, 2}, {9, '9', 28, 0}, {9, '9', 29, 2},
      {18, 'B', 27, 2}, {18, 'B', 28, 0}, {18, 'B', 29, 2},
      {19, 'C', 51, 2}, {19, 'C', 52, 0}, {19, 'C', 53, 2},
      {21, 'E', 45, 2}, {21, 'E', 46, 0}, {21, 'E', 60, 0}, {21, 'E', 61, 2},
      {24, 'H', 26, 2}, {24, 'H', 27, 0}, {24, 'H', 28, 0}, {24, 'H', 29, 2},
  };
  for (const Case &c : cases) {
    AisAssemblyStateRec st;
    Load(st, c.first + std::string(c.length - 1, '0'));
    auto [rc, untouched] = DecodeAs(c.id, st);
    EXPECT_EQ(rc, c.result) << "type " << c.id << " length " << c.length;
    if (c.result == 2) {
      EXPECT_TRUE(untouched) << "type " << c.id << " length " << c.length;
    }
  }
  AisAssemblyStateRec st;
  AisMsg1_3 m;
  EXPECT_EQ(ParseMsg1_3(nullptr, &m), 1);
  EXPECT_EQ(ParseMsg1_3(&st, nullptr), 1);
  EXPECT_EQ(ParseMsg24(nullptr, nullptr), 1);
}

TEST(AisDecode, PositionReportClassA) {
  BitWriter w;
  w.put(3, 6).put(3, 2).put(987654321, 30).put(13, 4).put(128, 8).put(1023, 10).put(1, 1);
  w.putSigned(-6000000, 28).putSigned(-36000000, 27).put(3599, 12).put(345, 9).put(59, 6);
  w.put(10, 4).put(1, 1).put(1, 1).put(2, 2).put(8191, 13).put(5, 3).put(1, 1);
  ASSERT_EQ(w.size(), 168u);
  AisAssemblyStateRec st;
  Load(st, w.armour());
  AisMsg1_3 m;
  ASSERT_EQ(ParseMsg1_3(&st, &m), 0);
  EXPECT_EQ(m.messageId, 3);
  EXPECT_EQ(m.repeat, 3);
  EXPECT_EQ(m.mmsi, 987654321u);
  EXPECT_EQ(m.navStatus, 13);
  EXPECT_EQ(m.rateOfTurn, -128);
  EXPECT_EQ(m.sog, 1023u);
  EXPECT_EQ(m.posAccuracy, 1);
  EXPECT_EQ(m.lon, -6000000);
  EXPECT_EQ(m.lat, -36000000);
  EXPECT_EQ(m.cog, 3599u);
  EXPECT_EQ(m.heading, 345u);
  EXPECT_EQ(m.timeStamp, 59);
  EXPECT_EQ(m.regional, 10);
  EXPECT_EQ(m.spare, 1);
  EXPECT_EQ(m.raim, 1);
  EXPECT_EQ(m.syncState, 2);
  EXPECT_EQ(m.slotIncrement, 8191u);
  EXPECT_EQ(m.slots, 5);
  EXPECT_EQ(m.keep, 1);
}

TEST(AisDecode, BaseStationReport) {
  BitWriter w;
  w.put(4, 6).put(2, 2).put(2190001, 30).put(16383, 14).put(12, 4).put(31, 5).put(23, 5);
  w.put(59, 6).put(58, 6).put(1, 1).put(1 << 27, 28).put(1 << 26, 27).put(7, 4).put(0x2AA, 10);
  w.put(1, 1).put(3, 2).put(6, 3).put(0x2ABC, 14);
  ASSERT_EQ(w.size(), 168u);
  AisAssemblyStateRec st;
  Load(st, w.armour());
  AisMsg4 m;
  ASSERT_EQ(ParseMsg4(&st, &m), 0);
  EXPECT_EQ(m.messageId, 4);
  EXPECT_EQ(m.repeat, 2);
  EXPECT_EQ(m.mmsi, 2190001u);
  EXPECT_EQ(m.year, 16383u);
  EXPECT_EQ(m.month, 12);
  EXPECT_EQ(m.day, 31);
  EXPECT_EQ(m.hour, 23);
  EXPECT_EQ(m.minute, 59);
  EXPECT_EQ(m.second, 58);
  EXPECT_EQ(m.posAccuracy, 1);
  EXPECT_EQ(m.lon, -(1 << 27));
  EXPECT_EQ(m.lat, -67108864);
  EXPECT_EQ(m.epfd, 7);
  EXPECT_EQ(m.spare, 0x2AAu);
  EXPECT_EQ(m.raim, 1);
  EXPECT_EQ(m.syncState, 3);
  EXPECT_EQ(m.slotTimeout, 6);
  EXPECT_EQ(m.subMessage, 0x2ABCu);
}

TEST(AisDecode, StaticAndVoyageData) {
  BitWriter w;
  w.put(5, 6).put(1, 2).put(371255000, 30).put(2, 2).put(9266633, 30).text("HP6683", 7);
  w.text("SEA ENTERPRISE", 20).put(90, 8).put(511, 9).put(300, 9).put(63, 6).put(21, 6);
  w.put(1, 4).put((3 << 16) | (29 << 11) | (11 << 6), 20).put(255, 8).text("LEMMER", 20);
  w.put(1, 1).put(1, 1);
  ASSERT_EQ(w.size(), 424u);
  AisAssemblyStateRec st;
  Load(st, w.armour());
  AisMsg5 m;
  ASSERT_EQ(ParseMsg5(&st, &m), 0);
  EXPECT_EQ(m.messageId, 5);
  EXPECT_EQ(m.repeat, 1);
  EXPECT_EQ(m.mmsi, 371255000u);
  EXPECT_EQ(m.aisVersion, 2);
  EXPECT_EQ(m.imo, 9266633u);
  EXPECT_STREQ(m.callSign, "HP6683@");
  EXPECT_STREQ(m.name, "SEA ENTERPRISE@@@@@@");
  EXPECT_EQ(m.shipType, 90);
  EXPECT_EQ(m.toBow, 511u);
  EXPECT_EQ(m.toStern, 300u);
  EXPECT_EQ(m.toPort, 63);
  EXPECT_EQ(m.toStarboard, 21);
  EXPECT_EQ(m.epfd, 1);
  EXPECT_EQ(m.eta, 256704u);
  EXPECT_EQ(m.draught, 255);
  EXPECT_STREQ(m.destination, "LEMMER@@@@@@@@@@@@@@");
  EXPECT_EQ(m.dte, 1);
  EXPECT_EQ(m.spare, 1);
}

TEST(AisDecode, SarAircraftBothCommunicationStates) {
  for (int selector : {0, 1}) {
    BitWriter w;
    w.put(9, 6).put(0, 2).put(111222333, 30).put(4094, 12).put(1022, 10).put(1, 1);
    w.putSigned(108600000, 28).putSigned(54600000, 27).put(1234, 12).put(61, 6).put(0xA5, 8);
    w.put(1, 1).put(5, 3).put(1, 1).put(1, 1).put(selector, 1);
    if (selector == 0)
      w.put(2, 2).put(5, 3).put(0x3FFE, 14);
    else
      w.put(1, 2).put(0x1ABC, 13).put(6, 3).put(1, 1);
    ASSERT_EQ(w.size(), 168u);
    AisAssemblyStateRec st;
    Load(st, w.armour());
    AisMsg9 m;
    ASSERT_EQ(ParseMsg9(&st, &m), 0);
    EXPECT_EQ(m.messageId, 9);
    EXPECT_EQ(m.mmsi, 111222333u);
    EXPECT_EQ(m.altitude, 4094u);
    EXPECT_EQ(m.sog, 1022u);
    EXPECT_EQ(m.posAccuracy, 1);
    EXPECT_EQ(m.lon, 108600000);  // 181 degrees: not treated specially
    EXPECT_EQ(m.lat, 54600000);
    EXPECT_EQ(m.cog, 1234u);
    EXPECT_EQ(m.timeStamp, 61);
    EXPECT_EQ(m.regional, 0xA5);
    EXPECT_EQ(m.dte, 1);
    EXPECT_EQ(m.spare, 5);
    EXPECT_EQ(m.assigned, 1);
    EXPECT_EQ(m.raim, 1);
    EXPECT_EQ(m.commSelector, selector);
    const AisCommState &c = m.comm;
    if (selector == 0) {
      EXPECT_EQ(c.sotdmaSync, 2);
      EXPECT_EQ(c.sotdmaTimeout, 5);
      EXPECT_EQ(c.sotdmaSubMessage, 0x3FFEu);
      EXPECT_EQ(c.itdmaSync + c.itdmaSlotIncrement + c.itdmaSlots + c.itdmaKeep, 0u);
    } else {
      EXPECT_EQ(c.itdmaSync, 1);
      EXPECT_EQ(c.itdmaSlotIncrement, 0x1ABCu);
      EXPECT_EQ(c.itdmaSlots, 6);
      EXPECT_EQ(c.itdmaKeep, 1);
      EXPECT_EQ(c.sotdmaSync + c.sotdmaTimeout + c.sotdmaSubMessage, 0u);
    }
  }
}

TEST(AisDecode, ClassBPositionReport) {
  BitWriter w;
  w.put(18, 6).put(1, 2).put(230108610, 30).put(0x5A, 8).put(73, 10).put(0, 1);
  w.putSigned(14978829, 28).putSigned(36098238, 27).put(2980, 12).put(298, 9).put(33, 6);
  w.put(2, 2).put(1, 1).put(0, 1).put(1, 1).put(0, 1).put(1, 1).put(0, 1).put(1, 1).put(1, 1);
  w.put(3, 2).put(0x1555, 13).put(7, 3).put(0, 1);
  ASSERT_EQ(w.size(), 168u);
  AisAssemblyStateRec st;
  Load(st, w.armour());
  AisMsg18 m;
  ASSERT_EQ(ParseMsg18(&st, &m), 0);
  EXPECT_EQ(m.messageId, 18);
  EXPECT_EQ(m.repeat, 1);
  EXPECT_EQ(m.mmsi, 230108610u);
  EXPECT_EQ(m.regional1, 0x5A);
  EXPECT_EQ(m.sog, 73u);
  EXPECT_EQ(m.posAccuracy, 0);
  EXPECT_EQ(m.lon, 14978829);
  EXPECT_EQ(m.lat, 36098238);
  EXPECT_EQ(m.cog, 2980u);
  EXPECT_EQ(m.heading, 298u);
  EXPECT_EQ(m.timeStamp, 33);
  EXPECT_EQ(m.regional2, 2);
  EXPECT_EQ(m.classB, 1);
  EXPECT_EQ(m.display, 0);
  EXPECT_EQ(m.dsc, 1);
  EXPECT_EQ(m.band, 0);
  EXPECT_EQ(m.msg22, 1);
  EXPECT_EQ(m.assigned, 0);
  EXPECT_EQ(m.raim, 1);
  EXPECT_EQ(m.commSelector, 1);
  EXPECT_EQ(m.comm.itdmaSync, 3);
  EXPECT_EQ(m.comm.itdmaSlotIncrement, 0x1555u);
  EXPECT_EQ(m.comm.itdmaSlots, 7);
  EXPECT_EQ(m.comm.itdmaKeep, 0);
  EXPECT_EQ(m.comm.sotdmaSubMessage, 0u);
}

TEST(AisDecode, ExtendedClassBReport) {
  BitWriter w;
  w.put(19, 6).put(0, 2).put(244123456, 30).put(0xC3, 8).put(512, 10).put(1, 1);
  w.putSigned(-108000000, 28).putSigned(-54000000, 27).put(100, 12).put(511, 9).put(60, 6);
  w.put(9, 4).text("AB", 20).put(37, 8).put(400, 9).put(401, 9).put(33, 6).put(34, 6);
  w.put(15, 4).put(1, 1).put(0, 1).put(0x15, 5);
  ASSERT_EQ(w.size(), 312u);
  AisAssemblyStateRec st;
  Load(st, w.armour());
  AisMsg19 m;
  ASSERT_EQ(ParseMsg19(&st, &m), 0);
  EXPECT_EQ(m.messageId, 19);
  EXPECT_EQ(m.mmsi, 244123456u);
  EXPECT_EQ(m.regional1, 0xC3);
  EXPECT_EQ(m.sog, 512u);
  EXPECT_EQ(m.posAccuracy, 1);
  EXPECT_EQ(m.lon, -108000000);
  EXPECT_EQ(m.lat, -54000000);
  EXPECT_EQ(m.cog, 100u);
  EXPECT_EQ(m.heading, 511u);
  EXPECT_EQ(m.timeStamp, 60);
  EXPECT_EQ(m.regional2, 9);
  EXPECT_STREQ(m.name, "AB@@@@@@@@@@@@@@@@@@");  // groups 1, 2, then zeros
  EXPECT_EQ(m.shipType, 37);
  EXPECT_EQ(m.toBow, 400u);
  EXPECT_EQ(m.toStern, 401u);
  EXPECT_EQ(m.toPort, 33);
  EXPECT_EQ(m.toStarboard, 34);
  EXPECT_EQ(m.epfd, 15);
  EXPECT_EQ(m.raim, 1);
  EXPECT_EQ(m.dte, 0);
  EXPECT_EQ(m.assignedSpare, 0x15);
}

TEST(AisDecode, AidToNavigationNameExtension) {
  struct Case {
    std::string extension;  // encoded after the 272 bits
    size_t payloadChars;
    const char *wantExtension;
  };
  const Case cases[] = {
      {"", 46, ""},                                     // 276 bits: no whole character
      {"EXTENSION-NAME", 60, "EXTENSION-NAME"},         // 14 characters, the most
      {"ABC", 49, "ABC"},
  };
  for (const Case &c : cases) {
    BitWriter w;
    w.put(21, 6).put(3, 2).put(992351000, 30).put(30, 5).text("NOORD HINDER", 20).put(1, 1);
    w.putSigned(1234567, 28).putSigned(-7654321, 27).put(257, 9).put(258, 9).put(17, 6).put(18, 6);
    w.put(6, 4).put(61, 6).put(1, 1).put(0x81, 8).put(0, 1).put(1, 1).put(0, 1).put(1, 1);
    ASSERT_EQ(w.size(), 272u);
    w.text(c.extension, static_cast<int>(c.extension.size()));
    std::string payload = w.armour();
    payload.resize(c.payloadChars, '0');
    AisAssemblyStateRec st;
    Load(st, payload);
    AisMsg21 m;
    ASSERT_EQ(ParseMsg21(&st, &m), 0);
    EXPECT_EQ(m.messageId, 21);
    EXPECT_EQ(m.repeat, 3);
    EXPECT_EQ(m.mmsi, 992351000u);
    EXPECT_EQ(m.aidType, 30);
    EXPECT_STREQ(m.name, "NOORD HINDER@@@@@@@@");
    EXPECT_EQ(m.posAccuracy, 1);
    EXPECT_EQ(m.lon, 1234567);
    EXPECT_EQ(m.lat, -7654321);
    EXPECT_EQ(m.toBow, 257u);
    EXPECT_EQ(m.toStern, 258u);
    EXPECT_EQ(m.toPort, 17);
    EXPECT_EQ(m.toStarboard, 18);
    EXPECT_EQ(m.epfd, 6);
    EXPECT_EQ(m.timeStamp, 61);
    EXPECT_EQ(m.offPosition, 1);
    EXPECT_EQ(m.regional, 0x81);
    EXPECT_EQ(m.raim, 0);
    EXPECT_EQ(m.virtualAid, 1);
    EXPECT_EQ(m.assigned, 0);
    EXPECT_EQ(m.spare, 1);
    EXPECT_STREQ(m.nameExtension, c.wantExtension);
  }
}

TEST(AisDecode, StaticDataReportParts) {
  BitWriter a;
  a.put(24, 6).put(1, 2).put(244670701, 30).put(0, 2).text("BRANDAL", 20);
  ASSERT_EQ(a.size(), 160u);
  BitWriter b;
  b.put(24, 6).put(2, 2).put(244670701, 30).put(1, 2).put(37, 8).text("SMTFV\"]", 7);
  b.text("PF9344", 7).put(300, 9).put(9, 9).put(62, 6).put(2, 6).put(45, 6);
  ASSERT_EQ(b.size(), 168u);

  AisAssemblyStateRec st;
  AisMsg24 m{};
  Load(st, a.armour());
  ASSERT_EQ(std::strlen(st.reader.payload), 27u);
  ASSERT_EQ(ParseMsg24(&st, &m), 0);
  EXPECT_EQ(m.messageId, 24);
  EXPECT_EQ(m.repeat, 1);
  EXPECT_EQ(m.mmsi, 244670701u);
  EXPECT_EQ(m.partNumber, 0);
  EXPECT_STREQ(m.name, "BRANDAL@@@@@@@@@@@@@");
  EXPECT_EQ(m.flags, 1);

  // Part B into the same record: part A's name stays, the flags add up.
  Load(st, b.armour());
  ASSERT_EQ(ParseMsg24(&st, &m), 0);
  EXPECT_EQ(m.repeat, 2);
  EXPECT_EQ(m.partNumber, 1);
  EXPECT_STREQ(m.name, "BRANDAL@@@@@@@@@@@@@");
  EXPECT_EQ(m.shipType, 37);
  EXPECT_STREQ(m.vendorId, "SMTFV\"]");
  EXPECT_STREQ(m.callSign, "PF9344@");
  EXPECT_EQ(m.toBow, 300u);
  EXPECT_EQ(m.toStern, 9u);
  EXPECT_EQ(m.toPort, 62);
  EXPECT_EQ(m.toStarboard, 2);
  EXPECT_EQ(m.spare, 45);
  EXPECT_EQ(m.flags, 3);

  // A 27-character part B: the spare reads past the end and gets 0.
  AisMsg24 shortB{};
  Load(st, b.armour().substr(0, 27));
  ASSERT_EQ(ParseMsg24(&st, &shortB), 0);
  EXPECT_EQ(shortB.toStarboard, 2);
  EXPECT_EQ(shortB.spare, 0);
  EXPECT_EQ(shortB.flags, 2);

  // Part numbers 2 and 3: id, repeat, MMSI and part number only.
  for (int part : {2, 3}) {
    BitWriter c;
    c.put(24, 6).put(3, 2).put(123456789, 30).put(part, 2).text("XYZ", 20);
    AisMsg24 r{};
    Load(st, c.armour());
    EXPECT_EQ(ParseMsg24(&st, &r), 3);
    EXPECT_EQ(r.repeat, 3);
    EXPECT_EQ(r.mmsi, 123456789u);
    EXPECT_EQ(r.partNumber, part);
    EXPECT_EQ(r.name[0], '\0');
    EXPECT_EQ(r.flags, 0);
  }
}
