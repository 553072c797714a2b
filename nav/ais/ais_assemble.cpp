// NMEA checksum test, AIS fragment assembly and the six-bit payload reader.
#include <cstring>

#include "common/hex.h"
#include "nav/ais/ais_codec.h"

AisAssemblyStateRec AisAssemblyState;

namespace {

// Six-bit group value of every byte of the armoured payload text; 255 outside both ranges.
struct ArmourTable {
  uint8_t v[256];
  constexpr ArmourTable() : v() {
    for (int c = 0; c < 256; c++) {
      if (c >= 48 && c <= 87)
        v[c] = static_cast<uint8_t>(c - 48);
      else if (c >= 96 && c <= 119)
        v[c] = static_cast<uint8_t>(c - 56);
      else
        v[c] = 255;
    }
  }
};
constexpr ArmourTable kArmour;

inline bool EndsField(char c) { return c == ',' || c == '*' || c == '\0'; }

// From a field's first character to the first character of the next field; null when the
// text ends first.
const char *NextField(const char *p) {
  while (!EndsField(*p)) p++;
  return *p == '\0' ? nullptr : p + 1;
}

// Decimal field with unsigned wrap-around and no digit check (any byte counts as c - 48).
uint32_t FieldNumber(const char *p) {
  uint32_t value = 0;
  for (; !EndsField(*p); p++) value = value * 10u + (static_cast<uint8_t>(*p) - 48u);
  return value;
}

void ResetReader(SixbitState &six) {
  six.payload[0] = '\0';
  six.readPos = six.payload;
  six.remainder = 0;
  six.remainderCount = 0;
}

}  // namespace

int NmeaChecksum(const char *line, uint8_t *x) {
  if (line == nullptr || x == nullptr) return 1;
  const char *p = line;
  while (*p != '!' && *p != '$') {
    if (*p == '\0') return 1;
    p++;
  }
  uint8_t sum = 0;
  *x = 0;
  for (p++;; p++) {
    char c = *p;
    if (c == '*') {
      *x = sum;
      return 0;
    }
    if (c == '\0' || c == '!' || c == '$') {
      *x = sum;
      return 1;
    }
    sum ^= static_cast<uint8_t>(c);
  }
}

int NmeaCheck(const char *line, uint8_t *x) {
  if (line == nullptr || x == nullptr || NmeaChecksum(line, x) != 0) return 2;
  const char *star = std::strchr(line, '*');
  if (star == nullptr) return 2;
  uint8_t hi = HexDigitValue(star[1]);
  if (hi == kNotHexDigit) return 1;
  uint8_t lo = HexDigitValue(star[2]);
  if (lo == kNotHexDigit) return 1;
  return static_cast<uint8_t>(hi * 16 + lo) == *x ? 0 : 2;
}

int AisAssemble(const char *line, AisAssemblyStateRec &state) {
  uint8_t x;
  if (NmeaCheck(line, &x) != 0) return kAisBadChecksum;

  // The checksum test guarantees a '!' or '$'; the head may still be shorter than 6 bytes.
  const char *head = line + std::strcspn(line, "!$");
  if (strnlen(head, 6) < 6 ||
      (std::strncmp(head + 3, "VDM", 3) != 0 && std::strncmp(head + 3, "VDO", 3) != 0))
    return kAisNotVdmVdo;

  const char *f1 = NextField(head);
  if (f1 == nullptr) return kAisFieldMissing;
  const char *f2 = NextField(f1);
  if (f2 == nullptr) return kAisFieldMissing;
  const char *f3 = NextField(f2);
  if (f3 == nullptr) return kAisFieldMissing;
  // Fields 4 and 5 are located before the state changes: a sentence that lacks them is
  // refused whole and cannot leave a half-started message behind.
  const char *f4 = NextField(f3);
  if (f4 == nullptr) return kAisFieldMissing;
  const char *f5 = NextField(f4);
  if (f5 == nullptr) return kAisFieldMissing;

  uint32_t count = FieldNumber(f1);
  uint32_t number = FieldNumber(f2);
  uint32_t sequence = FieldNumber(f3);

  if (state.fragmentTotal != 0) {
    if (static_cast<uint32_t>(state.sequenceId) != sequence ||
        number != static_cast<uint32_t>(state.fragmentNumber) + 1u) {
      state.sequenceId = 0;
      state.fragmentTotal = 0;
      state.fragmentNumber = 0;
      // The broken message is abandoned; a sentence that itself opens a message is not
      // lost with it but starts afresh below.
      if (number != 1 && count != 0) return kAisOutOfSequence;
    } else {
      state.fragmentNumber = static_cast<int32_t>(number);
    }
  }
  if (state.fragmentTotal == 0) {
    state.fragmentNumber = static_cast<int32_t>(number);
    state.fragmentTotal = static_cast<int32_t>(count);
    state.sequenceId = static_cast<int32_t>(sequence);
    ResetReader(state.reader);
  }

  char *payload = state.reader.payload;
  size_t len = strnlen(payload, 255);
  for (const char *p = f5; !EndsField(*p) && len < 255; p++) payload[len++] = *p;
  payload[len] = '\0';

  if (count == 0 || static_cast<uint32_t>(state.fragmentTotal) == number) {
    state.sequenceId = 0;
    state.fragmentTotal = 0;
    state.fragmentNumber = 0;
    return kAisComplete;
  }
  return kAisMoreFragments;
}

uint32_t SixbitRead(int16_t n, SixbitState &six) {
  if (n <= 0) return 0;
  uint32_t value = 0;
  int need = n;
  for (;;) {
    int r = six.remainderCount;
    if (r > 0) {
      if (r > need) {
        int k = r - need;
        value = (value << need) + (static_cast<uint32_t>(six.remainder) >> k);
        six.remainder = static_cast<uint8_t>(six.remainder & ((1u << k) - 1u));
        six.remainderCount = static_cast<uint8_t>(k);
        return value;
      }
      value = (value << r) + six.remainder;
      need -= r;
      six.remainder = 0;
      six.remainderCount = 0;
    }
    if (six.readPos == nullptr || *six.readPos == '\0') return value;
    six.remainder = kArmour.v[static_cast<uint8_t>(*six.readPos)];
    six.remainderCount = 6;
    six.readPos++;
    if (need == 0) return value;
  }
}

void AisSignExtendPos(int32_t &lat, int32_t &lon) {
  // Unsigned steps: a field that carried past its width must not overflow here.
  if (lat & (1 << 26)) lat = static_cast<int32_t>(static_cast<uint32_t>(lat) - (1u << 27));
  if (lon & (1 << 27)) lon = static_cast<int32_t>(static_cast<uint32_t>(lon) - (1u << 28));
}
