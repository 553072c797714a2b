// AIS message decoders: one fixed record per message type, read field by field from the
// assembled payload in the order of the message tables.
#include <cstring>

#include "nav/ais/ais_codec.h"

namespace {

// Field reader over the shared payload; every value is cut to the record field's type.
struct Fields {
  SixbitState &six;
  uint32_t u(int16_t n) { return SixbitRead(n, six); }
  uint8_t u8(int16_t n) { return static_cast<uint8_t>(SixbitRead(n, six)); }
  int8_t s8(int16_t n) { return static_cast<int8_t>(static_cast<uint8_t>(SixbitRead(n, six))); }
  int32_t s32(int16_t n) { return static_cast<int32_t>(SixbitRead(n, six)); }
  // n six-bit characters of the AIS character set ("@" to "_", then " " to "?").
  void text(char *dst, int n) {
    for (int i = 0; i < n; i++) {
      uint32_t v = SixbitRead(6, six) & 63u;
      dst[i] = static_cast<char>(v < 32 ? v + 64 : v);
    }
    dst[n] = '\0';
  }
};

size_t PayloadLength(const AisAssemblyStateRec *state) {
  return strnlen(state->reader.payload, sizeof state->reader.payload);
}

// How every message opens: the message id (read by the caller), the repeat indicator and
// the MMSI.
template <typename Msg>
void ReadHead(Fields &f, const AisAssemblyStateRec &state, Msg &m) {
  m.messageId = state.messageId;
  m.repeat = f.u8(2);
  m.mmsi = f.u(30);
}

// Position accuracy, longitude and latitude, the raw values sign-extended.
template <typename Msg>
void ReadPosition(Fields &f, Msg &m) {
  m.posAccuracy = f.u8(1);
  m.lon = f.s32(28);
  m.lat = f.s32(27);
  AisSignExtendPos(m.lat, m.lon);
}

// Dimensions from the position reference to bow, stern, port and starboard.
template <typename Msg>
void ReadDimensions(Fields &f, Msg &m) {
  m.toBow = f.u(9);
  m.toStern = f.u(9);
  m.toPort = f.u8(6);
  m.toStarboard = f.u8(6);
}

void ReadClassBPosition(Fields &f, const AisAssemblyStateRec &state, AisClassBPosition &m) {
  ReadHead(f, state, m);
  m.regional1 = f.u8(8);
  m.sog = f.u(10);
  ReadPosition(f, m);
  m.cog = f.u(12);
  m.heading = f.u(9);
  m.timeStamp = f.u8(6);
}

void ReadCommState(Fields &f, uint8_t selector, AisCommState &c) {
  if (selector == 0) {
    c.sotdmaSync = f.u8(2);
    c.sotdmaTimeout = f.u8(3);
    c.sotdmaSubMessage = f.u(14);
  } else {
    c.itdmaSync = f.u8(2);
    c.itdmaSlotIncrement = f.u(13);
    c.itdmaSlots = f.u8(3);
    c.itdmaKeep = f.u8(1);
  }
}

}  // namespace

// Types 1, 2 and 3: position report class A
int ParseMsg1_3(AisAssemblyStateRec *state, AisMsg1_3 *m) {
  if (state == nullptr || m == nullptr) return kAisNullArgument;
  if (PayloadLength(state) != 28) return kAisBadLength;
  std::memset(m, 0, sizeof *m);
  Fields f{state->reader};
  ReadHead(f, *state, *m);
  m->navStatus = f.u8(4);
  m->rateOfTurn = f.s8(8);
  m->sog = f.u(10);
  ReadPosition(f, *m);
  m->cog = f.u(12);
  m->heading = f.u(9);
  m->timeStamp = f.u8(6);
  m->regional = f.u8(4);
  m->spare = f.u8(1);
  m->raim = f.u8(1);
  m->syncState = f.u8(2);
  m->slotIncrement = f.u(13);
  m->slots = f.u8(3);
  m->keep = f.u8(1);
  return kAisParsed;
}

// Type 4: base station report
int ParseMsg4(AisAssemblyStateRec *state, AisMsg4 *m) {
  if (state == nullptr || m == nullptr) return kAisNullArgument;
  if (PayloadLength(state) != 28) return kAisBadLength;
  std::memset(m, 0, sizeof *m);
  Fields f{state->reader};
  ReadHead(f, *state, *m);
  m->year = f.u(14);
  m->month = f.u8(4);
  m->day = f.u8(5);
  m->hour = f.u8(5);
  m->minute = f.u8(6);
  m->second = f.u8(6);
  ReadPosition(f, *m);
  m->epfd = f.u8(4);
  m->spare = f.u(10);
  m->raim = f.u8(1);
  m->syncState = f.u8(2);
  m->slotTimeout = f.u8(3);
  m->subMessage = f.u(14);
  return kAisParsed;
}

// Type 5: static and voyage related data
int ParseMsg5(AisAssemblyStateRec *state, AisMsg5 *m) {
  if (state == nullptr || m == nullptr) return kAisNullArgument;
  if (PayloadLength(state) != 71) return kAisBadLength;
  std::memset(m, 0, sizeof *m);
  Fields f{state->reader};
  ReadHead(f, *state, *m);
  m->aisVersion = f.u8(2);
  m->imo = f.u(30);
  f.text(m->callSign, 7);
  f.text(m->name, 20);
  m->shipType = f.u8(8);
  ReadDimensions(f, *m);
  m->epfd = f.u8(4);
  m->eta = f.u(20);
  m->draught = f.u8(8);
  f.text(m->destination, 20);
  m->dte = f.u8(1);
  m->spare = f.u8(1);
  return kAisParsed;
}

// Type 9: standard SAR aircraft position report
int ParseMsg9(AisAssemblyStateRec *state, AisMsg9 *m) {
  if (state == nullptr || m == nullptr) return kAisNullArgument;
  if (PayloadLength(state) != 28) return kAisBadLength;
  std::memset(m, 0, sizeof *m);
  Fields f{state->reader};
  ReadHead(f, *state, *m);
  m->altitude = f.u(12);
  m->sog = f.u(10);
  ReadPosition(f, *m);
  m->cog = f.u(12);
  m->timeStamp = f.u8(6);
  m->regional = f.u8(8);
  m->dte = f.u8(1);
  m->spare = f.u8(3);
  m->assigned = f.u8(1);
  m->raim = f.u8(1);
  m->commSelector = f.u8(1);
  ReadCommState(f, m->commSelector, m->comm);
  return kAisParsed;
}

// Type 18: standard class B position report
int ParseMsg18(AisAssemblyStateRec *state, AisMsg18 *m) {
  if (state == nullptr || m == nullptr) return kAisNullArgument;
  if (PayloadLength(state) != 28) return kAisBadLength;
  std::memset(m, 0, sizeof *m);
  Fields f{state->reader};
  ReadClassBPosition(f, *state, *m);
  m->regional2 = f.u8(2);
  m->classB = f.u8(1);
  m->display = f.u8(1);
  m->dsc = f.u8(1);
  m->band = f.u8(1);
  m->msg22 = f.u8(1);
  m->assigned = f.u8(1);
  m->raim = f.u8(1);
  m->commSelector = f.u8(1);
  ReadCommState(f, m->commSelector, m->comm);
  return kAisParsed;
}

// Type 19: extended class B position report
int ParseMsg19(AisAssemblyStateRec *state, AisMsg19 *m) {
  if (state == nullptr || m == nullptr) return kAisNullArgument;
  if (PayloadLength(state) != 52) return kAisBadLength;
  std::memset(m, 0, sizeof *m);
  Fields f{state->reader};
  ReadClassBPosition(f, *state, *m);
  m->regional2 = f.u8(4);
  f.text(m->name, 20);
  m->shipType = f.u8(8);
  ReadDimensions(f, *m);
  m->epfd = f.u8(4);
  m->raim = f.u8(1);
  m->dte = f.u8(1);
  m->assignedSpare = f.u8(5);
  return kAisParsed;
}

// Type 21: aid-to-navigation report
int ParseMsg21(AisAssemblyStateRec *state, AisMsg21 *m) {
  if (state == nullptr || m == nullptr) return kAisNullArgument;
  size_t len = PayloadLength(state);
  if (len * 6 < 272 || len * 6 > 360) return kAisBadLength;
  std::memset(m, 0, sizeof *m);
  Fields f{state->reader};
  ReadHead(f, *state, *m);
  m->aidType = f.u8(5);
  f.text(m->name, 20);
  ReadPosition(f, *m);
  ReadDimensions(f, *m);
  m->epfd = f.u8(4);
  m->timeStamp = f.u8(6);
  m->offPosition = f.u8(1);
  m->regional = f.u8(8);
  m->raim = f.u8(1);
  m->virtualAid = f.u8(1);
  m->assigned = f.u8(1);
  m->spare = f.u8(1);
  if (len * 6 > 272) f.text(m->nameExtension, static_cast<int>((len * 6 - 272) / 6));
  return kAisParsed;
}

// Type 24: static data report, part A or part B
int ParseMsg24(AisAssemblyStateRec *state, AisMsg24 *m) {
  if (state == nullptr || m == nullptr) return kAisNullArgument;
  size_t len = PayloadLength(state);
  if (len != 27 && len != 28) return kAisBadLength;
  Fields f{state->reader};
  ReadHead(f, *state, *m);
  m->partNumber = f.u8(2);
  if (m->partNumber == 0) {
    f.text(m->name, 20);
    m->flags |= 1;
  } else if (m->partNumber == 1) {
    m->shipType = f.u8(8);
    f.text(m->vendorId, 7);
    f.text(m->callSign, 7);
    ReadDimensions(f, *m);
    m->spare = f.u8(6);
    m->flags |= 2;
  } else {
    return kAisBadPart;
  }
  return kAisParsed;
}
