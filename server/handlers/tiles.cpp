// Chart tiles from the open chart package; every tile it cannot find is a one-pixel GIF.
#include <cstdint>

#include "common/tile_key.h"
#include "server/handlers/args.h"
#include "server/handlers/chart.h"
#include "server/handlers/chart_reader.h"
#include "server/handlers/handlers.h"

// GIF89a, 1 x 1, two-entry colour table (white, black), one white pixel.
const unsigned char MissingTileGif[35] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61,  // "GIF89a"
    0x01, 0x00, 0x01, 0x00,              // logical screen 1 x 1
    0x80, 0x00, 0x00,                    // global colour table of 2, background 0, no aspect
    0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00,  // white, black
    0x2C, 0x00, 0x00, 0x00, 0x00,        // image descriptor at 0,0
    0x01, 0x00, 0x01, 0x00, 0x00,        // 1 x 1, no local table
    0x02, 0x02, 0x44, 0x01, 0x00,        // LZW size 2; clear, 0, end; terminator
    0x3B,                                // trailer
};

static const int kTileMaxAge = 600;

// Looks the key up in the chart package open now and sends the tile or the GIF. The tile
// leaves from the library's own copy of it, before the statement lets go of that.
static void SendTile(SockBuf &w, bool parsed, int64_t key) {
  SockBufReset(w);
  if (parsed) {
    ChartStmt st(ChartQuery::Tile);
    if (st.ok()) {
      st.bind(1, key);
      if (st.step() == SQLITE_ROW) {
        const void *png = sqlite3_column_blob(st, 0);
        int n = sqlite3_column_bytes(st, 0);
        SendResponseFrom(w, kTileMaxAge, "200 OK", kMimePng, png, png && n > 0 ? static_cast<size_t>(n) : 0);
        return;
      }
    }
  }
  SendResponseFrom(w, kTileMaxAge, "200 OK", kMimeGif, MissingTileGif, sizeof MissingTileGif);
}

// The number after "A" is not used, so any size of it is accepted (the page may send a
// time stamp); the text after it, from its "/", or null.
static const char *AfterANumber(const char *rest) {
  return rest[0] == 'A' ? SkipNumber(rest + 1) : nullptr;
}

void HandleGetTile(SockBuf &w, const char *rest) {
  int32_t n[3] = {};
  const char *p = AfterANumber(rest);
  bool parsed = p && ScanInts(p, "/", n, 3, '/') == 3;
  SendTile(w, parsed, parsed ? TileKey(n[0], n[1], n[2]) : 0);
}

void HandleGetTileI(SockBuf &w, const char *rest) {
  uint64_t key = 0;
  const char *p = AfterANumber(rest);
  bool parsed = p && *p == '/' && ScanU64(p + 1, &key);
  // The unsigned number goes to the database with the same bits as a signed key.
  SendTile(w, parsed, static_cast<int64_t>(key));
}
