// The HTTP response writer over a SockBuf: MimeTable, SendResponse and UrlDecode.
#pragma once

#include "common/sockbuf.h"

// Indexes into MimeTable; SockBuf::mime and the type column of the web files hold them.
enum MimeIndex : int {
  kMimeBinary = 0,    // "application/binary;"
  kMimeHtmlUtf8 = 1,  // "text/html; charset=UTF-8"
  kMimeCss = 2,
  kMimeJs = 3,
  kMimeText = 4,
  kMimeJson = 5,
  kMimePng = 6,
  kMimeJpeg = 7,
  kMimeGif = 8,
  kMimeHtml = 9,  // "text/html", no charset
  kMimeBmp = 10,
  kMimeState = 11,
  kMimeUser = 12,
  kMimeCount
};

extern const char *const MimeTable[kMimeCount];

// The status of an answer larger than its bound, or than the buffers' budget has room for.
extern const char *const ResultTooLarge;

// Sends header and body together (an answer over the buffers' budget: ResultTooLarge
// and no body); returns the body length, or -1 when the send failed
// (keep-alive is then cleared).
long SendResponse(SockBuf &sb, int maxAge, const char *status, int mime);

// The same with the body taken from body, len bytes (the buffer's body is not sent): the
// bytes are sent from where they lie, and count toward the buffers' budget while they are.
long SendResponseFrom(SockBuf &sb, int maxAge, const char *status, int mime, const void *body, size_t len);

// Percent-decodes text in place; returns the length of the result.
int UrlDecode(char *text);
