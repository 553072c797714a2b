// Handlers whose routes are not served yet: they answer nothing. Each one is removed
// from this file when its real implementation lands.
#include "server/handlers/handlers.h"

void HandleHostStat(SockBuf &, const char *, const char *, int) {}
