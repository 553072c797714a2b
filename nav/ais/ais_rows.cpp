// AIS rows: one decoded message becomes one JSON array text for the page.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/json_escape.h"
#include "nav/ais/ais_codec.h"

int64_t AisBaseStationTime = 0;
AisMsg24 AisSavedPartA;

namespace {

// Row formats, by message kind. MMSI and ETA are 32-bit unsigned values.
constexpr const char *kRowPosition = "[%u,%u,%u,%d,%d,%d,%d,%d,%d,%d]";  // 1, 2, 3
constexpr const char *kRowBaseStation = "[%u,%u,%u,%d,%d]";               // 4
constexpr const char *kRowShort = "[%u,%u,%u,%d,%d,%d,%d,%d,%d]";          // 9, 18
constexpr const char *kRowStatic = "[%u,%u,%u,%d,%d,%s,%s,%d,%s,%u,%d,%d,%d,%d,%d]";  // 5, 19, 21, 24

constexpr double kWorld = 40030178.618589394;
constexpr double kPi = 3.141592653589793;
constexpr int64_t kLastConvertible = 32535215999;  // 3000-12-31 23:59:59 UTC

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days from 1970-01-01 to the proleptic Gregorian date y-m-d (m 1..12).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = FloorDiv(y, 400);
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// AIS minutes*10000 to degrees, whole degrees taken apart first.
double Degrees(int32_t v) {
  int32_t whole = v / 600000;
  return whole + (v - whole * 600000) / 600000.0;
}

int32_t WorldInt(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(v);
}

size_t Emit(int n) { return n > 0 && static_cast<size_t>(n) < kAisRowSize ? n : 0; }

}  // namespace

char *JsonQuote6bit(char *dst, const char *src) {
  char *d = dst;
  *d++ = '"';
  char *body = d;
  char *const limit = dst + kAisRowSize - 4;  // an escape pair, the closing quote, the NUL
  for (; *src != '\0' && *src != '@' && d < limit; src++) {
    char c = *src;
    char esc = JsonEscapeLetter(static_cast<unsigned char>(c));
    if (esc) *d++ = '\\';
    *d++ = esc ? esc : c;
  }
  while (d > body && d[-1] == ' ') d--;
  *d++ = '"';
  *d = '\0';
  return dst;
}

void LatLonToMercator(int32_t lat, int32_t lon, int32_t *y, int32_t *x) {
  double latDeg = Degrees(lat);
  double lonDeg = Degrees(lon);
  *x = WorldInt((lonDeg + 180) / 360 * kWorld);
  double phi = latDeg * kPi / 180;
  *y = WorldInt((1 - std::log(std::tan(phi) + 1 / std::cos(phi)) / kPi) * 0.5 * kWorld);
}

int64_t AisUtcToTime(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                     int64_t second) {
  int64_t m0 = month - 1;
  year += FloorDiv(m0, 12);
  m0 -= FloorDiv(m0, 12) * 12;
  int64_t days = DaysFromCivil(year, m0 + 1, 1) + day - 1;
  int64_t t = days * 86400 + hour * 3600 + minute * 60 + second;
  return t < 0 || t > kLastConvertible ? -1 : t;
}

namespace {

// The row of the short position reports (messages 9 and 18): no rate of turn, status 15.
size_t ShortPositionRow(char *row, uint32_t mmsi, unsigned id, int32_t lat, int32_t lon,
                        uint32_t sog, uint32_t cog, int heading) {
  int32_t x = 0, y = 0;
  LatLonToMercator(lat, lon, &y, &x);
  return Emit(std::snprintf(row, kAisRowSize, kRowShort, mmsi, id,
                            static_cast<uint32_t>(AisBaseStationTime), x, y,
                            static_cast<int>(sog), static_cast<int>(cog), heading, 15));
}

}  // namespace

size_t AisDecodeRow(const char *line, char *row) {
  row[0] = '\0';
  AisAssemblyStateRec &st = AisAssemblyState;
  if (AisAssemble(line, st) != kAisComplete) return 0;
  st.messageId = static_cast<uint8_t>(SixbitRead(6, st.reader));

  int32_t x = 0, y = 0;
  char q1[kAisRowSize], q2[kAisRowSize], q3[kAisRowSize];
  switch (st.messageId) {
    case 1: case 2: case 3: {  // position report class A
      AisMsg1_3 m;
      if (ParseMsg1_3(&st, &m) != kAisParsed) return 0;
      LatLonToMercator(m.lat, m.lon, &y, &x);
      return Emit(std::snprintf(row, kAisRowSize, kRowPosition, m.mmsi, unsigned{m.messageId},
                                     static_cast<uint32_t>(AisBaseStationTime), x, y,
                                     static_cast<int>(m.sog), static_cast<int>(m.cog),
                                     static_cast<int>(m.heading), m.rateOfTurn, m.navStatus));
    }
    case 4: {  // base station report
      AisMsg4 m;
      if (ParseMsg4(&st, &m) != kAisParsed) return 0;
      AisBaseStationTime = AisUtcToTime(m.year, m.month, m.day, m.hour, m.minute, m.second);
      LatLonToMercator(m.lat, m.lon, &y, &x);
      return Emit(std::snprintf(row, kAisRowSize, kRowBaseStation, m.mmsi, 4u,
                                     static_cast<uint32_t>(AisBaseStationTime), x, y));
    }
    case 5: {  // static and voyage related data
      AisMsg5 m;
      if (ParseMsg5(&st, &m) != kAisParsed) return 0;
      return Emit(std::snprintf(row, kAisRowSize, kRowStatic, m.mmsi, 5u,
                                     static_cast<uint32_t>(AisBaseStationTime), 0, 0,
                                     JsonQuote6bit(q1, m.callSign), JsonQuote6bit(q2, m.name),
                                     m.shipType, JsonQuote6bit(q3, m.destination), m.eta,
                                     static_cast<int>(m.toBow), static_cast<int>(m.toStern),
                                     m.toPort, m.toStarboard, m.draught));
    }
    case 9: {  // standard SAR aircraft position report
      AisMsg9 m;
      if (ParseMsg9(&st, &m) != kAisParsed) return 0;
      return ShortPositionRow(row, m.mmsi, 9u, m.lat, m.lon, m.sog, m.cog, 511);
    }
    case 18: {  // standard class B position report
      AisMsg18 m;
      if (ParseMsg18(&st, &m) != kAisParsed) return 0;
      return ShortPositionRow(row, m.mmsi, 18u, m.lat, m.lon, m.sog, m.cog,
                              static_cast<int>(m.heading));
    }
    case 19: {  // extended class B position report
      AisMsg19 m;
      if (ParseMsg19(&st, &m) != kAisParsed) return 0;
      return Emit(std::snprintf(row, kAisRowSize, kRowStatic, m.mmsi, 19u,
                                     static_cast<uint32_t>(AisBaseStationTime), 0, 0, "\"\"",
                                     JsonQuote6bit(q1, m.name), m.shipType, "\"\"", 0u,
                                     static_cast<int>(m.toBow), static_cast<int>(m.toStern),
                                     m.toPort, m.toStarboard, -1));
    }
    case 21: {  // aid-to-navigation report
      AisMsg21 m;
      if (ParseMsg21(&st, &m) != kAisParsed) return 0;
      LatLonToMercator(m.lat, m.lon, &y, &x);
      return Emit(std::snprintf(row, kAisRowSize, kRowStatic, m.mmsi, 21u,
                                     static_cast<uint32_t>(AisBaseStationTime), x, y, "\"\"",
                                     JsonQuote6bit(q1, m.name), m.aidType, "\"\"", 0u,
                                     static_cast<int>(m.toBow), static_cast<int>(m.toStern),
                                     m.toPort, m.toStarboard, -1));
    }
    case 24: {  // static data report; part A is kept for the part B that follows
      AisMsg24 m;
      std::memset(&m, 0, sizeof m);
      if (ParseMsg24(&st, &m) != kAisParsed) return 0;
      if (m.partNumber == 0) {
        AisSavedPartA = m;
        return 0;
      }
      if (m.mmsi != AisSavedPartA.mmsi) return 0;
      return Emit(std::snprintf(row, kAisRowSize, kRowStatic, m.mmsi, 24u,
                                     static_cast<uint32_t>(AisBaseStationTime), 0, 0,
                                     JsonQuote6bit(q1, m.callSign),
                                     JsonQuote6bit(q2, AisSavedPartA.name), m.shipType,
                                     JsonQuote6bit(q3, m.vendorId), 0u,
                                     static_cast<int>(m.toBow), static_cast<int>(m.toStern),
                                     m.toPort, m.toStarboard, -1));
    }
    default:
      return 0;
  }
}
