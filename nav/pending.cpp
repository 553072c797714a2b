// Navigation entry points not built yet. Each one is removed from this file when its
// real implementation lands.
#include "nav/ais/ais.h"
#include "nav/nav.h"

void NmeaSockControl(char *, char **) {}
int NmeaTcpRequested() { return 0; }
int NmeaTcpState() { return 0; }
void LocationThreadStart() {}
void AisHandleSentence(const char *) {}
void AisWriteJson(SockBuf &) {}
