// The routes into navigation: "/nemasock/" controls the NMEA-over-TCP client, "/getAisData"
// polls the AIS rows.
#include <cstring>

#include "nav/ais/ais.h"
#include "nav/nav.h"
#include "server/handlers/handlers.h"

void HandleNemaSock(SockBuf &w, char *rest) {
  char *splitter = nullptr;
  char *host = strtok_r(rest, "/", &splitter);
  if (host) NmeaSockControl(host, &splitter);
  OutAppendStr(w, "0");
  SendResponse(w, 0, nullptr, kMimeHtml);
}

void HandleAisData(SockBuf &w) {
  AisWriteJson(w);
  SendResponse(w, 0, nullptr, kMimeJson);
}
