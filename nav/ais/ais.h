// AIS: fragment assembly, decoding and the JSON rows polled by the page.
#pragma once

#include "common/sockbuf.h"

void AisHandleSentence(const char *text);
// Writes the pending rows (and the source state) into the writer and empties the buffer.
void AisWriteJson(SockBuf &w);
