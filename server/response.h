// The HTTP response writer over a SockBuf: MimeTable, SendResponse and UrlDecode.
#pragma once

#include "common/sockbuf.h"

extern const char *const MimeTable[13];

// Sends header and body together; returns the body length, or -1 when the send failed
// (keep-alive is then cleared).
long SendResponse(SockBuf &sb, int maxAge, const char *status, int mime);

// Percent-decodes text in place; returns the length of the result.
int UrlDecode(char *text);
