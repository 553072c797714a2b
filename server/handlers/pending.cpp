// Handlers whose routes are not served yet: they answer nothing. Each one is removed
// from this file when its real implementation lands.
#include "server/handlers/handlers.h"

void KvtServe(SockBuf &, sqlite3 *, const char *, const char *) {}
void HandleMapDataA(SockBuf &, const char *, sqlite3 *, const char *) {}
void ServeStaticFile(SockBuf &, const char *) {}
void HandleGetTile(SockBuf &, const char *) {}
void HandleGetTileI(SockBuf &, const char *) {}
void HandleGazetteer(SockBuf &, const char *) {}
int KvtPut(sqlite3 *, SockBuf &, const char *, const char *, int, int) { return 1; }
void HandleGetSetState(SockBuf &, char *) {}
void HandleExecSql(SockBuf &, sqlite3 *, const char *) {}
void HandleGetAuth(SockBuf &, const char *) {}
void HandleCrc32(SockBuf &, const char *) {}
void HandleDownload(SockBuf &, const char *) {}
