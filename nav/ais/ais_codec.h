// AIS internals: NMEA checksum, fragment assembly, the six-bit payload reader, the message
// records with their decoders, and the row helpers. Only nav/ais and its tests use these.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Checksum, assembly and six-bit reader -------------------------------------------

struct SixbitState {
  char payload[256];        // armoured payload characters, at most 255, NUL-terminated
  const char *readPos;      // next character to load
  uint8_t remainder;        // bits of the last loaded character not yet handed out
  uint8_t remainderCount;   // how many bits remainder holds, 0 to 6
};

struct AisAssemblyStateRec {
  uint8_t messageId;        // id of the message being decoded
  int32_t sequenceId;       // sequential message id of the message being assembled
  int32_t fragmentTotal;    // fragment count of that message; 0 = nothing in progress
  int32_t fragmentNumber;   // number of the last fragment taken
  SixbitState reader;
};

// The one process-wide assembly state. Callers serialise whole sentences (AisHandleSentence).
extern AisAssemblyStateRec AisAssemblyState;

enum AisAssembleResult {
  kAisComplete = 0,       // payload ready in state.reader
  kAisMoreFragments = 1,  // fragment taken, more expected
  kAisBadChecksum = 2,
  kAisNotVdmVdo = 3,
  kAisFieldMissing = 4,
  kAisOutOfSequence = 5,
};

// XOR of the range after the first '!' or '$' up to '*' into x. 0 when closed by '*', else 1.
int NmeaChecksum(const char *line, uint8_t *x);
// 0 checksum correct; 1 the first '*' is not followed by two hex digits; 2 anything else.
int NmeaCheck(const char *line, uint8_t *x);
// Checks one sentence and collects its fragment; returns an AisAssembleResult.
int AisAssemble(const char *line, AisAssemblyStateRec &state);
// The next n bits (n <= 0: none) of the payload, most significant first.
uint32_t SixbitRead(int16_t n, SixbitState &six);
// Raw 27-bit latitude and 28-bit longitude to signed values, in place.
void AisSignExtendPos(int32_t &lat, int32_t &lon);

// ---- Message records ---------------------------------------------------------------

struct AisMsg1_3 {
  uint8_t messageId, repeat;
  uint32_t mmsi;
  uint8_t navStatus;
  int8_t rateOfTurn;
  uint32_t sog;  // 1/10 knot
  uint8_t posAccuracy;
  int32_t lon, lat;  // 1/10000 minute
  uint32_t cog;      // 1/10 degree
  uint32_t heading;  // degrees, 511 = none
  uint8_t timeStamp, regional, spare, raim, syncState;
  uint32_t slotIncrement;
  uint8_t slots, keep;
};

struct AisMsg4 {
  uint8_t messageId, repeat;
  uint32_t mmsi;
  uint32_t year;
  uint8_t month, day, hour, minute, second;
  uint8_t posAccuracy;
  int32_t lon, lat;
  uint8_t epfd;
  uint32_t spare;
  uint8_t raim, syncState, slotTimeout;
  uint32_t subMessage;
};

struct AisMsg5 {
  uint8_t messageId, repeat;
  uint32_t mmsi;
  uint8_t aisVersion;
  uint32_t imo;
  char callSign[8];
  char name[21];
  uint8_t shipType;
  uint32_t toBow, toStern;
  uint8_t toPort, toStarboard;
  uint8_t epfd;
  uint32_t eta;  // month 4, day 5, hour 5, minute 6 bits, packed
  uint8_t draught;  // 1/10 metre
  char destination[21];
  uint8_t dte, spare;
};

// The 19 communication-state bits; only the group the selector names is filled.
struct AisCommState {
  uint8_t sotdmaSync, sotdmaTimeout;
  uint32_t sotdmaSubMessage;
  uint8_t itdmaSync;
  uint32_t itdmaSlotIncrement;
  uint8_t itdmaSlots, itdmaKeep;
};

struct AisMsg9 {
  uint8_t messageId, repeat;
  uint32_t mmsi;
  uint32_t altitude;
  uint32_t sog;  // whole knots
  uint8_t posAccuracy;
  int32_t lon, lat;
  uint32_t cog;
  uint8_t timeStamp, regional, dte, spare, assigned, raim, commSelector;
  AisCommState comm;
};

// Messages 18 and 19 open alike: the class B position, up to the time stamp.
struct AisClassBPosition {
  uint8_t messageId, repeat;
  uint32_t mmsi;
  uint8_t regional1;
  uint32_t sog;
  uint8_t posAccuracy;
  int32_t lon, lat;
  uint32_t cog;
  uint32_t heading;
  uint8_t timeStamp;
};

struct AisMsg18 : AisClassBPosition {
  uint8_t regional2, classB, display, dsc, band, msg22, assigned, raim, commSelector;
  AisCommState comm;
};

struct AisMsg19 : AisClassBPosition {
  uint8_t regional2;
  char name[21];
  uint8_t shipType;
  uint32_t toBow, toStern;
  uint8_t toPort, toStarboard;
  uint8_t epfd, raim, dte, assignedSpare;
};

struct AisMsg21 {
  uint8_t messageId, repeat;
  uint32_t mmsi;
  uint8_t aidType;
  char name[21];
  uint8_t posAccuracy;
  int32_t lon, lat;
  uint32_t toBow, toStern;
  uint8_t toPort, toStarboard;
  uint8_t epfd, timeStamp, offPosition, regional, raim, virtualAid, assigned, spare;
  char nameExtension[15];
};

struct AisMsg24 {
  uint8_t messageId, repeat;
  uint32_t mmsi;
  uint8_t partNumber;  // 0 = A, 1 = B
  char name[21];       // part A
  uint8_t shipType;    // part B from here on
  char vendorId[8];
  char callSign[8];
  uint32_t toBow, toStern;
  uint8_t toPort, toStarboard;
  uint8_t spare;
  uint8_t flags;  // bit 0: a part A was decoded into the record, bit 1: a part B
};

// Decoder results.
enum AisParseResult {
  kAisParsed = 0,
  kAisNullArgument = 1,
  kAisBadLength = 2,
  kAisBadPart = 3,  // message 24 with part number 2 or 3
};

int ParseMsg1_3(AisAssemblyStateRec *state, AisMsg1_3 *msg);
int ParseMsg4(AisAssemblyStateRec *state, AisMsg4 *msg);
int ParseMsg5(AisAssemblyStateRec *state, AisMsg5 *msg);
int ParseMsg9(AisAssemblyStateRec *state, AisMsg9 *msg);
int ParseMsg18(AisAssemblyStateRec *state, AisMsg18 *msg);
int ParseMsg19(AisAssemblyStateRec *state, AisMsg19 *msg);
int ParseMsg21(AisAssemblyStateRec *state, AisMsg21 *msg);
int ParseMsg24(AisAssemblyStateRec *state, AisMsg24 *msg);  // the caller clears the record

// ---- Rows ---------------------------------------------------------------------------

// Seconds since 1970 of the last message 4; -1 when its date was not convertible.
extern int64_t AisBaseStationTime;
// The last message 24 part A, whatever its MMSI.
extern AisMsg24 AisSavedPartA;

// Size of a row text and of a quoted text.
constexpr size_t kAisRowSize = 1024;

// src as a JSON string (quotes included) into dst, a kAisRowSize buffer; ends at the
// first '@' filler and drops trailing blanks. Returns dst.
char *JsonQuote6bit(char *dst, const char *src);
// AIS position (1/10000 minute, signed) to world coordinates of the page.
void LatLonToMercator(int32_t lat, int32_t lon, int32_t *y, int32_t *x);
// UTC calendar fields with carry-over to seconds since 1970; -1 outside 1970..3000-12-31.
int64_t AisUtcToTime(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                     int64_t second);
// Assembles and decodes one sentence into row (a kAisRowSize buffer). Returns the row's
// length, 0 when the sentence gives no row. Uses the shared state: callers serialise.
size_t AisDecodeRow(const char *line, char *row);
