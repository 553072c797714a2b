// Handlers whose routes are not served yet: they answer nothing. Each one is removed
// from this file when its real implementation lands.
#include "server/handlers/handlers.h"

void KvtServe(SockBuf &, sqlite3 *, const char *, const char *) {}
void HandleMapDataA(SockBuf &, const char *, sqlite3 *, const char *) {}
void ServeStaticFile(SockBuf &, const char *) {}
void HandleHostStat(SockBuf &, const char *, const char *, int) {}
void HandleDownload(SockBuf &, const char *) {}
