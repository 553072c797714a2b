// Navigation entry points not built yet. Each one is removed from this file when its
// real implementation lands.
#include "nav/nav.h"

void SerialStartAll() {}
void LocationThreadStart() {}
