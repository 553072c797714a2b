// "/hostversion/": the program's version, locale, languages, skin and device id as JSON.
#include "common/host_config.h"
#include "server/handlers/handlers.h"

const char *const HostVersionText = "W.1.16.78";

void HandleHostVersion(SockBuf &w) {
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
