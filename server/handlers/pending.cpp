// Handlers whose routes are not served yet: they answer nothing. Each one is removed
// from this file when its real implementation lands.
#include "server/handlers/handlers.h"

void HandleGetTile(SockBuf &, const char *) {}
void HandleGetTileI(SockBuf &, const char *) {}
void HandleGazetteer(SockBuf &, const char *) {}
int KvtPut(sqlite3 *, SockBuf &, const char *, const char *, int, int) { return 1; }
void HandleGetSetState(SockBuf &, char *) {}
void HandleExecSql(SockBuf &, sqlite3 *, const char *) {}
void HandleGetAuth(SockBuf &, const char *) {}
void HandleCrc32(SockBuf &, const char *) {}
void HandleDownload(SockBuf &, const char *) {}
