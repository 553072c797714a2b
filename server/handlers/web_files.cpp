// The chart page's files and texts: kvt rows of the packages and the trip database, map
// texts joined into one JSON array, and plain files below the web root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/db.h"
#include "common/fd.h"
#include "common/host_config.h"
#include "server/handlers/handlers.h"

namespace {

const char *const kNotFound = "404 File not found";
const char *const kDocType = "<!DOCTYPE HTML>";
// The language row is served before an all-languages row of the same key.
const char *const kSelectRow = "SELECT v,t FROM kvt WHERE k=LOWER(?) AND l IN (?,'**') ORDER BY l='**'";
const char *const kSelectValues = "SELECT v FROM kvt WHERE k=LOWER(?) AND l IN (?,'**')";

constexpr int kHtmlPage = 100;
constexpr int kPngMaxAge = 900;
constexpr size_t kReadChunk = 16384;

int MaxAgeFor(int mime) { return mime == kMimePng ? kPngMaxAge : 0; }

void NotFound(SockBuf &w) {
  SockBufReset(w);
  SendResponse(w, 0, kNotFound, kMimeBinary);
}

// The content type of a static file, by what its path contains; the last match wins.
int StaticMime(const char *rest) {
  static const struct {
    const char *part;
    int mime;
  } kKinds[] = {{".png", kMimePng}, {".css", kMimeCss}, {".js", kMimeJs}, {".html", kMimeHtmlUtf8}};
  int mime = kMimeBinary;
  for (const auto &k : kKinds)
    if (std::strstr(rest, k.part)) mime = k.mime;
  return mime;
}

// True when a segment of rest, split at "/" or "\", is "..".
bool HasParentSegment(const char *rest) {
  const char *seg = rest;
  for (const char *c = rest;; ++c) {
    if (*c == 0 || *c == '/' || *c == '\\') {
      if (c - seg == 2 && seg[0] == '.' && seg[1] == '.') return true;
      if (*c == 0) return false;
      seg = c + 1;
    }
  }
}

// Reads the whole file into the writer's body; false on a read error.
bool ReadInto(SockBuf &w, int fd) {
  char chunk[kReadChunk];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (static_cast<size_t>(w.outLen) + static_cast<size_t>(n) > static_cast<size_t>(INT_MAX)) return false;
    OutAppend(w, chunk, static_cast<size_t>(n));
  }
}

}  // namespace

void KvtServe(SockBuf &w, sqlite3 *db, const char *key, const char *lang) {
  SockBufReset(w);
  int mime = kMimeBinary;
  bool found = false;
  if (db) {
    ConnectionLock lock(db);
    Stmt s(db, kSelectRow);
    sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, lang, -1, SQLITE_STATIC);
    if (s.ok() && sqlite3_step(s) == SQLITE_ROW) {
      found = true;
      const void *v = sqlite3_column_blob(s, 0);
      int vlen = sqlite3_column_bytes(s, 0);
      int t = static_cast<int>(static_cast<uint32_t>(sqlite3_column_int64(s, 1)));
      if (t == kHtmlPage) {
        OutAppendStr(w, kDocType);
        mime = kMimeHtml;
      } else if (t >= 0 && t < kMimeCount) {
        mime = t;
      }
      if (v && vlen > 0) OutAppend(w, v, static_cast<size_t>(vlen));
    }
  }
  if (!found) {
    std::strcpy(w.status, kNotFound);
    mime = kMimeBinary;
  }
  SendResponse(w, MaxAgeFor(mime), nullptr, mime);
}

void HandleMapDataA(SockBuf &w, const char *rest, sqlite3 *db, const char *lang) {
  SockBufReset(w);
  OutAppendStr(w, "[");
  if (db) {
    ConnectionLock lock(db);
    Stmt s(db, kSelectValues);
    sqlite3_bind_text(s, 1, rest, -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, lang, -1, SQLITE_STATIC);
    bool first = true;
    while (s.ok() && sqlite3_step(s) == SQLITE_ROW) {
      if (!first) OutAppendStr(w, ",");
      first = false;
      const void *v = sqlite3_column_blob(s, 0);
      int vlen = sqlite3_column_bytes(s, 0);
      // An empty or missing value would leave a hole in the array.
      if (v && vlen > 0)
        OutAppend(w, v, static_cast<size_t>(vlen));
      else
        OutAppendStr(w, "null");
    }
  }
  OutAppendStr(w, "]");
  SendResponse(w, 0, "200 OK", kMimeJson);
}

void ServeStaticFile(SockBuf &w, const char *rest) {
  SockBufReset(w);
  // Only files below the web root: no root, or a way out of it, finds nothing.
  if (!HostConfig.WebRoot[0] || HasParentSegment(rest)) return NotFound(w);
  int mime = StaticMime(rest);
  std::string name = std::string(HostConfig.WebRoot) + "/" + rest;
  // Only plain files are opened: opening a FIFO would wait for a writer, and opening a
  // device can act on it.
  UniqueFd fd(OpenRegularFile(name.c_str()));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || st.st_size > INT_MAX) return NotFound(w);
  if (!ReadInto(w, fd.get())) return NotFound(w);
  SendResponse(w, MaxAgeFor(mime), "200 OK", mime);
}
