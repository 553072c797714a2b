// The one entry of all position input: NMEA 0183 sentences update the own ship in
// PosState, keep the fix indicator current and end with the track logger.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/ais/ais.h"
#include "nav/nav.h"

namespace {

constexpr int kMaxFields = 24;
constexpr double kKnotsToMs = 0.514444;
constexpr int64_t kFixLapseSeconds = 15;

// The last position from RMC (or the location service) is too old to stand for a fix.
bool FixLapsed(const PosStateRec &p, int64_t now) { return p.lastFixTime.load() + kFixLapseSeconds < now; }

bool FieldEnd(char c) { return c == 0 || c == ',' || c == '*'; }
bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }

// A field as a number, read as the C library reads a decimal number in the C locale:
// leading blanks, an optional sign, digits with at most one point (one digit at least),
// then an exponent when 'e' or 'E' and an optionally signed digit follow. Anything else
// ends the number ("1e" reads 1; "inf", "nan" and "0x.." read as their leading decimal
// part, that is 0). No number, or one beyond the range of a double, reads as 0.
double FieldNumber(const char *f) {
  while (!FieldEnd(*f) && Blank(*f)) ++f;
  bool neg = false;
  if (*f == '+' || *f == '-') neg = *f++ == '-';
  const char *start = f;
  while (Digit(*f)) ++f;
  bool digits = f != start;
  if (*f == '.') {
    const char *frac = ++f;
    while (Digit(*f)) ++f;
    digits = digits || f != frac;
  }
  if (!digits) return 0.0;
  if (*f == 'e' || *f == 'E') {
    const char *e = f + 1;
    if (*e == '+' || *e == '-') ++e;
    if (Digit(*e)) {
      f = e;
      while (Digit(*f)) ++f;
    }
  }
  // from_chars keeps to the C format whatever the locale.
  double v = 0.0;
  auto r = std::from_chars(start, f, v, std::chars_format::general);
  if (r.ec != std::errc() || !std::isfinite(v)) return 0.0;
  return neg ? -v : v;
}

// A field as a whole number: leading blanks, an optional sign, digits; clamped to int.
int FieldInt(const char *f) {
  while (!FieldEnd(*f) && Blank(*f)) ++f;
  bool neg = false;
  if (*f == '+' || *f == '-') neg = *f++ == '-';
  int64_t v = 0;
  const int64_t cap = int64_t{std::numeric_limits<int>::max()} + 1;
  for (; Digit(*f); ++f)
    if (v < cap) v = v * 10 + (*f - '0');
  if (v > cap) v = cap;
  v = neg ? -v : v;
  if (v > std::numeric_limits<int>::max()) v = std::numeric_limits<int>::max();
  return static_cast<int>(v);
}

// One "%2d" conversion bounded to the field: blanks, then at most two characters of
// sign and digits. False when no digit is there, which also ends the scan.
bool Scan2(const char *&p, int &out) {
  while (!FieldEnd(*p) && Blank(*p)) ++p;
  const char *q = p;
  bool neg = false;
  int width = 2;
  if (*q == '+' || *q == '-') {
    neg = *q++ == '-';
    --width;
  }
  int v = 0, n = 0;
  while (n < width && Digit(*q)) v = v * 10 + (*q++ - '0'), ++n;
  if (n == 0) return false;
  p = q;
  out = neg ? -v : v;
  return true;
}

// Reads up to three "%2d" numbers into a, b, c; numbers after the first failure are
// left as they are.
void Scan2x3(const char *p, int &a, int &b, int &c) {
  if (Scan2(p, a) && Scan2(p, b)) Scan2(p, c);
}

int64_t ClockSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

double NmeaParseCoord(const char *field, const char *hemisphere) {
  const char *dot = field;
  while (!FieldEnd(*dot) && *dot != '.') ++dot;
  if (*dot != '.') return 0.0;
  int k = static_cast<int>(dot - field);
  int degreeChars;
  if (k == 5)
    degreeChars = 3;
  else if (k == 4)
    degreeChars = 2;
  else
    return 0.0;
  double degrees = 0.0;
  for (int i = 0; i < degreeChars; ++i) degrees = degrees * 10 + (field[i] == ' ' ? 0 : field[i] - '0');
  double value = degrees + FieldNumber(field + degreeChars) / 60.0;
  if (*hemisphere == 'S' || *hemisphere == 'W') value = -value;
  return value;
}

int64_t NmeaParseTime(const char *date, const char *time) {
  std::tm tm{};
  if (FieldEnd(*date)) {
    std::time_t t = std::time(nullptr);
    gmtime_r(&t, &tm);
    Scan2x3(time, tm.tm_hour, tm.tm_min, tm.tm_sec);
  } else {
    int day = 0, month = 0, year = 0;
    Scan2x3(date, day, month, year);
    tm.tm_mday = day;
    tm.tm_mon = month - 1;
    tm.tm_year = 2000 + year - 1900;
    int h = 0, m = 0, s = 0;
    Scan2x3(time, h, m, s);
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
  }
  tm.tm_isdst = 0;
  // The offset stands as the database step set it (-1); nothing re-bases it.
  return static_cast<int64_t>(timegm(&tm)) + PosState.gpsTimeOffset.load();
}

void LocationFixInject(int64_t time, double lat, double lon, double speed, double course, double errorRadius) {
  // A report without a usable position changes nothing; other values that are not
  // numbers read as 0, and the radius is kept within int.
  if (!std::isfinite(lat) || !std::isfinite(lon)) return;
  PosStateRec &p = PosState;
  p.gpsTime = time;
  p.lastFixTime = ClockSeconds();
  p.lat = lat;
  p.lon = lon;
  p.speed = std::isfinite(speed) ? speed : 0.0;
  p.heading = std::isfinite(course) ? course : 0.0;
  int radius;
  if (!(errorRadius >= 0))
    radius = std::isnan(errorRadius) ? std::numeric_limits<int>::max() : 0;
  else if (errorRadius >= static_cast<double>(std::numeric_limits<int>::max()))
    radius = std::numeric_limits<int>::max();
  else
    radius = static_cast<int>(errorRadius);
  p.fix = -radius;
  NmeaHandleSentence("**");
}

void NmeaHandleSentence(const char *text) {
  const char *start = std::strpbrk(text, "$!");
  if (!HostConfig.ServerRunning) return;
  if (std::strncmp(text, "!AI", 3) == 0) {
    AisHandleSentence(text);
    return;
  }

  const char *field[kMaxFields];
  int n = 0;
  if (start) {
    field[n++] = start;
    for (const char *c = start; *c && n < kMaxFields; ++c)
      if (*c == ',' || *c == '*') field[n++] = c + 1;
  }

  PosStateRec &p = PosState;
  const int64_t now = ClockSeconds();
  p.now = now;

  // The identifier follows the start character and the two-character talker.
  char id[4] = {};
  if (n > 0) {
    const char *f0 = field[0];
    for (int i = 0; i < 6 && !FieldEnd(f0[i]); ++i)
      if (i >= 3) id[i - 3] = f0[i];
  }

  if (std::strcmp(id, "RMC") == 0 && n >= 13) {
    if (*field[2] != 'A') {
      p.fix = 0;
      return;
    }
    p.gpsTime = NmeaParseTime(field[9], field[1]);
    p.lat = NmeaParseCoord(field[3], field[4]);
    p.lon = NmeaParseCoord(field[5], field[6]);
    p.speed = FieldNumber(field[7]) * kKnotsToMs;
    p.heading = FieldNumber(field[8]);
    int none = 0;
    p.fix.compare_exchange_strong(none, 1);
    p.lastFixTime = now;
  } else if (std::strcmp(id, "GGA") == 0 && n >= 16) {
    if (*field[6] != '1' && *field[6] != '2') {
      p.fix = 0;
      return;
    }
    // The satellite count stands for the fix only while a position from RMC is recent;
    // otherwise the maintenance below would clear it again at once, and a reader in
    // between would see a fix at no position.
    if (!FixLapsed(p, now)) p.fix = FieldInt(field[7]);
    p.hdop = FieldNumber(field[8]);
  } else if (std::strcmp(id, "DPT") == 0 && n == 4) {
    double depth = FieldNumber(field[1]), offset = FieldNumber(field[2]);
    if (offset > 0)
      p.dbs = depth + offset;
    else
      p.dbk = depth + offset;
  } else if (std::strcmp(id, "DBS") == 0 && n >= 6) {
    p.dbs = FieldNumber(field[3]);
  } else if (std::strcmp(id, "DBK") == 0 && n >= 6) {
    p.dbk = FieldNumber(field[3]);
  }

  // Fix maintenance.
  if (FixLapsed(p, now)) p.fix = 0;
  if (p.tcpInput.load() == 1 && NmeaTcpState() != 1)
    p.fix = kFixTcpWaiting;
  else if (p.fix.load() == 0)
    return;
  TrackLogPass();
}
