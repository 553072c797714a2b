// Place names around a point from the open chart package: every place of class 0, and of
// each other class only the nearest one, larger classes first.
#include <cstdint>

#include "server/handlers/args.h"
#include "server/handlers/chart_reader.h"
#include "server/handlers/handlers.h"

static const int32_t kDefaultHalfSide = 5000;

static const char *TextOrNull(sqlite3_stmt *st, int col) {
  const unsigned char *t = sqlite3_column_text(st, col);
  return t ? reinterpret_cast<const char *>(t) : "(null)";
}

static int32_t Low32(sqlite3_int64 v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

void HandleGazetteer(SockBuf &w, const char *rest) {
  int32_t n[3] = {0, 0, kDefaultHalfSide};
  bool haveCentre = ScanInts(rest, "", n, 3, '/') >= 2;
  // The bounds are 64-bit so that a square beyond the 32-bit range still selects what it covers.
  int64_t x = n[0], y = n[1], r = n[2];

  SockBufReset(w);
  OutAppendStr(w, "[");
  if (haveCentre) {
    ChartStmt st(ChartQuery::Gazetteer);
    if (st.ok()) {
      const int64_t values[6] = {x, y, x - r, x + r, y - r, y + r};
      for (int i = 0; i < 6; ++i) st.bind(i + 1, values[i]);
    }
    unsigned char marks[256] = {};
    bool first = true;
    while (st.ok() && st.step() == SQLITE_ROW) {
      // A class outside 0-255 shares the mark of its low eight bits.
      unsigned k = static_cast<unsigned>(Low32(sqlite3_column_int64(st, 5))) & 0xFF;
      if (marks[k]) continue;
      marks[k] = static_cast<unsigned char>(k);
      if (!first) OutAppendStr(w, ",");
      first = false;
      // Names are sent as stored, unescaped; the page reads them that way.
      OutAppendStr(w, "{\"n\":\"");
      OutAppendStr(w, TextOrNull(st, 1));
      OutAppendStr(w, "\",\"c\":\"");
      OutAppendStr(w, TextOrNull(st, 0));
      OutAppendF(w, "\",\"x\":%d,\"y\":%d}", Low32(sqlite3_column_int64(st, 3)), Low32(sqlite3_column_int64(st, 4)));
    }
  }
  OutAppendStr(w, "]");
  SendResponse(w, 0, "200 OK", kMimeText);
}
