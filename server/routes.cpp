// The GET and POST route tables: prefixes compared case-sensitively over their full
// length, in table order; the first match wins.
#include "server/routes.h"

#include <cstring>

#include "common/host_config.h"
#include "server/handlers/handlers.h"

namespace {

// One row of a table: the prefix, its length taken from the literal, and the handler,
// which gets the whole path and the text after the prefix.
template <typename Handler>
struct Route {
  const char *prefix;
  size_t len;
  Handler handler;
  template <size_t N>
  constexpr Route(const char (&literal)[N], Handler h) : prefix(literal), len(N - 1), handler(h) {}
};

using GetHandler = void (*)(SockBuf &w, char *path, char *rest);
using PostHandler = void (*)(SockBuf &w, char *rest, const char *body, int bodyLen);

bool Prefix(const char *path, const char *prefix, size_t len) { return std::strncmp(path, prefix, len) == 0; }

void HostVersion(SockBuf &w, char *, char *) { HandleHostVersion(w); }
void GetTileI(SockBuf &w, char *, char *rest) { HandleGetTileI(w, rest); }
void GetTile(SockBuf &w, char *, char *rest) { HandleGetTile(w, rest); }
void GetSetState(SockBuf &w, char *, char *rest) { HandleGetSetState(w, rest); }
void Gazetteer(SockBuf &w, char *, char *rest) { HandleGazetteer(w, rest); }

void GetValue(SockBuf &w, char *, char *rest) {
  DbHandle trip = HostConfig.TripDb.get();
  KvtServe(w, trip.get(), rest, "**");
}

void GetMapData(SockBuf &w, char *, char *rest) {
  DbHandle chart = HostConfig.ChartDb.get();
  SettingsCopy s = CopySettings();
  KvtServe(w, chart.get(), rest, s.mlang);
}

void GetMapDataA(SockBuf &w, char *, char *rest) {
  DbHandle chart = HostConfig.ChartDb.get();
  SettingsCopy s = CopySettings();
  HandleMapDataA(w, rest, chart.get(), s.mlang);
}

// The handler appends the token suffix itself.
void GetAuth(SockBuf &w, char *, char *rest) { HandleGetAuth(w, rest); }
void GetCrc32(SockBuf &w, char *, char *rest) { HandleCrc32(w, rest); }

void Download(SockBuf &w, char *, char *rest) { HandleDownload(w, rest); }

// With the web files database, the key is the whole path (images in the skin's
// language); without it, the files under the web folder.
void AppRoute(SockBuf &w, char *path, char *rest) {
  static constexpr char kImages[] = "/app/img";
  DbHandle app = HostConfig.AppDb.get();
  if (app) {
    SettingsCopy s = CopySettings();
    KvtServe(w, app.get(), path, Prefix(path, kImages, sizeof kImages - 1) ? s.skin : s.alang);
  } else {
    ServeStaticFile(w, rest);
  }
}

// The one route without an answer: the server stops.
void Quit(SockBuf &, char *, char *) { HostConfig.ServerRunning = 0; }

void NemaSock(SockBuf &w, char *, char *rest) { HandleNemaSock(w, rest); }

void TripSql(SockBuf &w, char *, char *rest) { HandleExecSql(w, PageDatabase::Trip, rest); }

void ChartSql(SockBuf &w, char *, char *rest) { HandleExecSql(w, PageDatabase::Chart, rest); }

void AisData(SockBuf &w, char *, char *) { HandleAisData(w); }

// A path no route takes is a key of the chart's texts.
void ChartLookup(SockBuf &w, char *path) {
  DbHandle chart = HostConfig.ChartDb.get();
  SettingsCopy s = CopySettings();
  KvtServe(w, chart.get(), path, s.mlang);
}

void SetValue(SockBuf &w, char *rest, const char *body, int bodyLen) { HandleSetValue(w, rest, body, bodyLen); }

void PostTripSql(SockBuf &w, char *, const char *body, int) { HandleExecSql(w, PageDatabase::Trip, body); }

void PostChartSql(SockBuf &w, char *, const char *body, int) { HandleExecSql(w, PageDatabase::Chart, body); }

void HostStat(SockBuf &w, char *rest, const char *body, int bodyLen) { HandleHostStat(w, body, rest, bodyLen); }

const Route<GetHandler> kGetRoutes[] = {
    {"/getTileI/", GetTileI},
    {"/getTile/", GetTile},
    {"/getSetState/", GetSetState},
    {"/gazetteer/", Gazetteer},
    {"/hostversion/", HostVersion},
    {"/getValue/", GetValue},
    {"/getMapData/", GetMapData},
    {"/getMapDataA/", GetMapDataA},
    {"/getAuth/", GetAuth},
    {"/getcrc32/", GetCrc32},
    {"/download/", Download},
    {"/app/", AppRoute},
    {"/quit!", Quit},
    {"/nemasock/", NemaSock},
    {"/UexecSql/", TripSql},
    {"/MexecSql/", ChartSql},
    {"/getAisData", AisData},
};

const Route<PostHandler> kPostRoutes[] = {
    {"/setValue/", SetValue},
    {"/UexecSql", PostTripSql},
    {"/MexecSql", PostChartSql},
    {"/getSetHostStat/", HostStat},
};

}  // namespace

void RouteGet(SockBuf &w, char *path) {
  for (const auto &r : kGetRoutes)
    if (Prefix(path, r.prefix, r.len)) return r.handler(w, path, path + r.len);
  ChartLookup(w, path);
}

void RoutePost(SockBuf &w, char *path, const char *body, int bodyLen) {
  for (const auto &r : kPostRoutes)
    if (Prefix(path, r.prefix, r.len)) return r.handler(w, path + r.len, body, bodyLen);
}
