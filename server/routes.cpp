// The GET and POST route tables: prefixes compared case-sensitively over their full
// length, in table order; the first match wins.
#include "server/routes.h"

#include <cstdio>
#include <cstring>

#include "common/host_config.h"
#include "nav/ais/ais.h"
#include "nav/nav.h"
#include "server/handlers/handlers.h"

const char *const HostVersionText = "W.1.16.78";

namespace {

bool Prefix(const char *path, const char *prefix, size_t len) { return std::strncmp(path, prefix, len) == 0; }

void HostVersion(SockBuf &w) {
  SettingsCopy s = CopySettings();
  OutAppendStr(w, "{\"hostversion\":\"");
  OutAppendStr(w, HostVersionText);
  OutAppendStr(w, "\",\"locale\":\"");
  OutAppendStr(w, HostConfig.LocaleName);
  OutAppendStr(w, "\",\"alang\":\"");
  OutAppendStr(w, s.alang);
  OutAppendStr(w, "\",\"skin\":\"");
  OutAppendStr(w, s.skin);
  OutAppendStr(w, "\",\"device\":\"");
  OutAppendStr(w, HostConfig.DeviceId);
  OutAppendStr(w, "\"}");
  SendResponse(w, 0, nullptr, kMimeJson);
}

void AppRoute(SockBuf &w, char *path) {
  DbHandle app = HostConfig.AppDb.get();
  if (app) {
    SettingsCopy s = CopySettings();
    KvtServe(w, app.get(), path, Prefix(path, "/app/img", 8) ? s.skin : s.alang);
  } else {
    ServeStaticFile(w, path + 5);
  }
}

void NemaSock(SockBuf &w, char *rest) {
  char *splitter = nullptr;
  char *host = strtok_r(rest, "/", &splitter);
  if (host) NmeaSockControl(host, &splitter);
  OutAppendStr(w, "0");
  SendResponse(w, 0, nullptr, kMimeHtml);
}

void ChartLookup(SockBuf &w, char *path) {
  DbHandle chart = HostConfig.ChartDb.get();
  SettingsCopy s = CopySettings();
  KvtServe(w, chart.get(), path, s.mlang);
}

}  // namespace

void RouteGet(SockBuf &w, char *path) {
  if (Prefix(path, "/getTileI/", 10)) return HandleGetTileI(w, path + 10);
  if (Prefix(path, "/getTile/", 9)) return HandleGetTile(w, path + 9);
  if (Prefix(path, "/getSetState/", 13)) return HandleGetSetState(w, path + 13);
  if (Prefix(path, "/gazetteer/", 11)) return HandleGazetteer(w, path + 11);
  if (Prefix(path, "/hostversion/", 13)) return HostVersion(w);
  if (Prefix(path, "/getValue/", 10)) {
    DbHandle trip = HostConfig.TripDb.get();
    return KvtServe(w, trip.get(), path + 10, "**");
  }
  if (Prefix(path, "/getMapData/", 12)) {
    DbHandle chart = HostConfig.ChartDb.get();
    SettingsCopy s = CopySettings();
    return KvtServe(w, chart.get(), path + 12, s.mlang);
  }
  if (Prefix(path, "/getMapDataA/", 13)) {
    DbHandle chart = HostConfig.ChartDb.get();
    SettingsCopy s = CopySettings();
    return HandleMapDataA(w, path + 13, chart.get(), s.mlang);
  }
  // The handler appends the token suffix itself.
  if (Prefix(path, "/getAuth/", 9)) return HandleGetAuth(w, path + 9);
  if (Prefix(path, "/getcrc32/", 10)) return HandleCrc32(w, path + 10);
  if (Prefix(path, "/download/", 10)) {
    HandleDownload(w, path + 10);
    SendResponse(w, 0, nullptr, kMimeJson);
    return;
  }
  if (Prefix(path, "/app/", 5)) return AppRoute(w, path);
  if (Prefix(path, "/quit!", 6)) {
    HostConfig.ServerRunning = 0;
    return;
  }
  if (Prefix(path, "/nemasock/", 10)) return NemaSock(w, path + 10);
  if (Prefix(path, "/UexecSql/", 10)) {
    DbHandle trip = HostConfig.TripDb.get();
    return HandleExecSql(w, trip.get(), path + 10);
  }
  if (Prefix(path, "/MexecSql/", 10)) {
    DbHandle chart = HostConfig.ChartDb.get();
    return HandleExecSql(w, chart.get(), path + 10);
  }
  if (Prefix(path, "/getAisData", 11)) {
    AisWriteJson(w);
    SendResponse(w, 0, nullptr, kMimeJson);
    return;
  }
  ChartLookup(w, path);
}

void RoutePost(SockBuf &w, char *path, const char *body, int bodyLen) {
  if (Prefix(path, "/setValue/", 10)) {
    DbHandle trip = HostConfig.TripDb.get();
    int rc = KvtPut(trip.get(), w, path + 10, body, bodyLen, 10);
    OutAppendStr(w, rc == 0 ? "OK" : "ERR");
    SendResponse(w, 0, nullptr, kMimeBinary);
    return;
  }
  if (Prefix(path, "/UexecSql", 9)) {
    DbHandle trip = HostConfig.TripDb.get();
    return HandleExecSql(w, trip.get(), body);
  }
  if (Prefix(path, "/MexecSql", 9)) {
    DbHandle chart = HostConfig.ChartDb.get();
    return HandleExecSql(w, chart.get(), body);
  }
  if (Prefix(path, "/getSetHostStat/", 16)) return HandleHostStat(w, body, path + 16, bodyLen);
}
