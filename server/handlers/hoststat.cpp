// "/getSetHostStat/": the page's poll. It hands the host the track-log thresholds and the
// serial switch, leaves its body as the host state the track logger stores, and gets the
// own-ship state back together with the track logged after a given time.
#include <sqlite3.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "common/host_config.h"
#include "common/number_format.h"
#include "common/pos_state.h"
#include "nav/nav.h"
#include "server/handlers/handlers.h"

namespace {

// Every track point has t = 1, so the index on t would only read the whole track and sort
// it; the "+" keeps that index out and the walk goes along i_log_ts from the given time,
// already in order. Unlike naming the index, it still runs when the index is gone.
const char *const kTrackSql = "SELECT x,y,ts FROM log WHERE ts > ? AND +t=1 ORDER BY ts";

// One "%d" of a scanf format: blanks skipped, an optional sign, at least one digit.
// Values beyond int are clamped. False when no number is there.
bool ScanInt(const char *&p, int &out) {
  const char *s = p;
  while (std::isspace(static_cast<unsigned char>(*s))) ++s;
  bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
  long long v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*s)); ++s)
    if (v <= INT_MAX) v = v * 10 + (*s - '0');
  if (negative) v = -v;
  out = static_cast<int>(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
  p = s;
  return true;
}

// "%d/%d/%d/%d" into the four targets, each stored as soon as it is read; returns how
// many were read.
int ScanPathNumbers(const char *rest, std::atomic<int> &maxInterval, std::atomic<int> &minDistance, int &serial,
                    int &since) {
  const char *p = rest;
  int v;
  if (!ScanInt(p, v)) return 0;
  maxInterval = v;
  if (*p++ != '/' || !ScanInt(p, v)) return 1;
  minDistance = v;
  if (*p++ != '/' || !ScanInt(p, serial)) return 2;
  if (*p++ != '/' || !ScanInt(p, since)) return 3;
  return 4;
}

// Keeps the body as the host state: the block grows to the longest body so far and
// never shrinks; when it cannot grow nothing is kept.
void KeepHostState(const char *body, int bodyLen) {
  std::lock_guard<std::mutex> lk(HostConfig.HostStateLock);
  if (bodyLen > HostConfig.HostStateCapacity) {
    HostConfig.HostStateCapacity = bodyLen;
    HostConfig.HostStateBody.reset();
    try {
      HostConfig.HostStateBody = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(bodyLen) + 1);
    } catch (const std::bad_alloc &) {
    }
  }
  if (HostConfig.HostStateBody)
    std::memcpy(HostConfig.HostStateBody.get(), body, static_cast<size_t>(bodyLen) + 1);
  else
    HostConfig.HostStateCapacity = 0;
}

}  // namespace

void HandleHostStat(SockBuf &w, const char *body, const char *rest, int bodyLen) {
  PosStateRec &ps = PosState;
  int serial = -1;
  int since = 0;  // fewer than four numbers: the whole track
  ScanPathNumbers(rest, ps.trackMaxInterval, ps.trackMinDistance, serial, since);

  // The exchange makes one of two simultaneous posts of the same change the one that
  // starts the input.
  if (ps.serialInput.exchange(serial) != serial && serial != 0 && NmeaTcpRequested() == 0) {
    ps.fix = 0;
    SerialStartAll();
  }

  SockBufReset(w);
  OutAppendF(w, "{\"time\":%d,", static_cast<int32_t>(static_cast<uint32_t>(ps.now.load())));
  OutAppendF(w, "\"fix\":%d,", ps.fix.load());
  OutAppendF(w, "\"latY\":%.6lf,", ps.lat.load());
  OutAppendF(w, "\"lonX\":%.6lf,", ps.lon.load());
  OutAppendF(w, "\"heading\":%.0lf,", ps.heading.load());
  OutAppendF(w, "\"dbs\":%.1lf,", ps.dbs.load());
  OutAppendF(w, "\"dbk\":%.1lf,", ps.dbk.load());
  OutAppendF(w, "\"dbt\":%.1lf,", ps.dbt.load());
  OutAppendF(w, "\"speed\":%.1lf,", ps.speed.load());
  OutAppendF(w, "\"hdop\":%.1lf,", ps.hdop.load());

  if (bodyLen > 0) KeepHostState(body, bodyLen);

  OutAppendStr(w, "\"track\":[");
  DbHandle db = HostConfig.TripDb.get();
  if (db) {
    // One state of the track: no write of the host's (a clear, a point) lands while it is
    // read.
    ConnectionLock lock(db.get());
    Stmt st(db.get(), kTrackSql);
    sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(since));
    // Each row as "[%f,%f,%d]", with a comma before all but the first, formatted into a
    // piece of its own and appended whole: printf would cost more than the read.
    char row[2 * kFixed6Max + 16];
    row[0] = ',';
    const char *from = row + 1;
    while (st.ok() && sqlite3_step(st) == SQLITE_ROW) {
      char *p = row + 1;
      *p++ = '[';
      p = FormatFixed6(p, sqlite3_column_double(st, 0));
      *p++ = ',';
      p = FormatFixed6(p, sqlite3_column_double(st, 1));
      *p++ = ',';
      p = FormatInt(p, static_cast<int32_t>(static_cast<uint32_t>(sqlite3_column_int64(st, 2))));
      *p++ = ']';
      OutAppend(w, from, static_cast<size_t>(p - from));
      from = row;
    }
  }
  OutAppendStr(w, "]}");
  SendResponse(w, 0, nullptr, kMimeJson);
}
