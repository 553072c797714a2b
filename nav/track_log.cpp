// The track logger: at most one point a second into the trip database's log table,
// when the ship has moved far enough or the maximum interval has passed, stored together
// with the page's last host state as the 'settings' row.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "common/db.h"
#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/great_circle.h"
#include "nav/track_log.h"

namespace {

constexpr int kWorstLocationFix = -50;
constexpr double kEarthRadius = 6371000.8;  // metres; the location source uses its own

const char *const kBegin = "BEGIN TRANSACTION";
const char *const kCommit = "COMMIT";
const char *const kRollback = "ROLLBACK";
const char *const kInsertPoint = "INSERT INTO log (ts,x,y,t,v) VALUES (?,?,?,1,?)";
// Every 'settings' row, whatever its language, found through the language-first index
// i_kv_lk (looked up under '**', where the row is, the other languages by range) rather
// than by reading the whole table.
const char *const kDeleteSettings =
    "DELETE FROM kvt WHERE k='settings' AND (l='**' OR l<'**' OR l>'**' OR l IS NULL)";
const char *const kInsertSettings = "INSERT INTO kvt(k,v,t,l) VALUES ('settings',?,10,'**')";

// Appends one formatted piece to the tag; a piece that does not fit its scratch space
// or what is left of the tag is left out whole.
template <typename... Args>
void AppendPiece(char (&tag)[512], size_t &len, const char *fmt, Args... args) {
  char piece[64];
  int n = std::snprintf(piece, sizeof piece, fmt, args...);
  if (n < 0 || static_cast<size_t>(n) >= sizeof piece) return;
  if (len + static_cast<size_t>(n) >= sizeof tag) return;
  std::memcpy(tag + len, piece, static_cast<size_t>(n) + 1);
  len += static_cast<size_t>(n);
}

// The page's last host state, copied so that a new post cannot replace it under SQLite.
std::optional<std::string> CopyHostState() {
  std::lock_guard<std::mutex> lk(HostConfig.HostStateLock);
  if (!HostConfig.HostStateBody) return std::nullopt;
  return std::string(HostConfig.HostStateBody.get());
}

void StorePoint(sqlite3 *db, int64_t now, double lon, double lat, const char *tag,
                const std::optional<std::string> &hostState) {
  SqliteLock lock(HostConfig.DbMutex);
  ConnectionLock host(db);
  bool began = sqlite3_exec(db, kBegin, nullptr, nullptr, nullptr) == SQLITE_OK;
  {
    Stmt s(db, kInsertPoint);
    sqlite3_bind_int64(s, 1, now);
    sqlite3_bind_double(s, 2, lon);
    sqlite3_bind_double(s, 3, lat);
    sqlite3_bind_text(s, 4, tag, -1, SQLITE_STATIC);
    sqlite3_step(s);
  }
  sqlite3_exec(db, kDeleteSettings, nullptr, nullptr, nullptr);
  {
    Stmt s(db, kInsertSettings);
    if (hostState)
      sqlite3_bind_text(s, 1, hostState->data(), static_cast<int>(hostState->size()), SQLITE_TRANSIENT);
    else
      sqlite3_bind_null(s, 1);
    sqlite3_step(s);
  }
  // A COMMIT that fails would leave the shared connection inside our transaction, and
  // every later write on it would be held back unseen; end it instead.
  if (sqlite3_exec(db, kCommit, nullptr, nullptr, nullptr) != SQLITE_OK && began && !sqlite3_get_autocommit(db))
    sqlite3_exec(db, kRollback, nullptr, nullptr, nullptr);
}

}  // namespace

void TrackLogPass() {
  PosStateRec &p = PosState;
  const int64_t now = p.now.load();
  if (p.lastPassTime.load() == now) return;
  const int fix = p.fix.load();
  if (fix <= kWorstLocationFix) return;
  const double lat = p.lat.load(), lon = p.lon.load();
  // Before the first position there is nothing to log.
  if (lat == kNoPosition && lon == kNoPosition) return;
  // Only one source thread decides per second.
  if (p.lastPassTime.exchange(now) == now) return;

  if (now <= p.lastLogTime.load() + int64_t{p.trackMaxInterval.load()}) {
    // Unclamped: from the same position again the distance is 0 or not a number, and
    // neither is far enough.
    double d = GreatCircleDistance(p.lastLogLon.load(), p.lastLogLat.load(), lon, lat, kEarthRadius,
                                   GreatCircleClamp::kNone);
    if (!(d > p.trackMinDistance.load())) return;
  }

  char tag[512] = {};
  size_t len = 0;
  const int64_t gpsTime = p.gpsTime.load();
  const double dbk = p.dbk.load(), dbs = p.dbs.load();
  if (gpsTime != 0) AppendPiece(tag, len, "gt=%x", static_cast<unsigned>(static_cast<uint32_t>(gpsTime)));
  if (dbk != 0) AppendPiece(tag, len, " dk=%.1lf", dbk);
  if (dbs != 0) AppendPiece(tag, len, " ds=%.1lf", dbs);
  if (fix == kFixSimulated) AppendPiece(tag, len, "%s", " SIM");

  std::optional<std::string> hostState = CopyHostState();
  DbHandle db = HostConfig.TripDb.get();
  if (db) StorePoint(db.get(), now, lon, lat, tag, hostState);

  p.lastLogLon = lon;
  p.lastLogLat = lat;
  p.lastLogTime = now;
}
