// SockBuf: a socket with one growable byte buffer and the cursors over it, used for both
// sides of an HTTP connection, the NMEA-over-TCP client and the download client; plus the
// body appends (OutAppend*) that fill it. The HTTP response writer is server/response.h.
#pragma once

#include <cstddef>

struct SockBuf {
  int sock = -1;              // set by the owner after SockBufInit; -1 = none
  int lineLen = 0;            // bytes the last line or block took from the stream
  char *buf = nullptr;        // the record's one heap block (malloc), freed with the record
  char *lineStart = nullptr;  // first byte not yet handed out
  char *dataEnd = nullptr;    // one past the last received byte
  char *scan = nullptr;       // next byte to examine
  int capacity = 0;           // size of buf
  int outLen = 0;             // response body bytes held (writing side)
  char status[64] = {};       // status for the next response; empty means "200 OK"
  int mime = 0;               // MimeTable index chosen by the handler
  int keepAlive = 0;          // "Keep-Alive: max=%d"; 0 means "Connection: close"
  bool lineCut = false;       // the last line filled the buffer and was handed out without its end
  // Growth beyond the start size counts toward one budget for all buffers that have this
  // set (the server's connections): a body that does not fit it is not read, an answer that
  // does not fit is dropped and overBudget set, which the response writer answers.
  bool budgeted = false;
  bool overBudget = false;
  long charge = 0;  // bytes counted toward the budget now

  SockBuf() = default;
  ~SockBuf();
  SockBuf(const SockBuf &) = delete;
  SockBuf &operator=(const SockBuf &) = delete;
};

// Socket options of a connection: receive and send time-out seconds*1000+100 ms,
// SO_KEEPALIVE on.
void SockSetOptions(int seconds, int sock);

// Zeroes the record (the socket too) and allocates a 65536-byte buffer; null on failure.
char *SockBufInit(SockBuf &sb);

// Reset of a writing SockBuf before a response: cursors to the buffer start, output
// length 0, status text empty, MIME index 0, line length 0. The buffer keeps its size.
void SockBufReset(SockBuf &sb);

// Gives a buffer grown past its start size back to that size, keeping the received bytes
// not yet handed out (a response body held is dropped); false when it is not larger or
// they do not fit.
bool SockBufShrink(SockBuf &sb);

// Next LF-terminated line (CR and LF replaced by NUL); "" at end of stream; null on error.
// A line that does not fit the buffer comes in pieces of capacity-1 bytes, each with
// lineCut set.
char *SockBufReadLine(SockBuf &sb);

// Exactly count bytes (fewer when the peer closed: see lineLen); null on error.
char *SockBufReadBytes(SockBuf &sb, int count);

// Bytes all budgeted buffers may hold beyond their start size together.
extern const long SockBufBudget;

// A body of count bytes that is sent from where it lies instead of from the buffer: it
// counts toward the budget as the same bytes appended to the emptied buffer would, until
// SockBufReturn. False, with overBudget set, when such an append would have been dropped.
bool SockBufBorrow(SockBuf &sb, size_t count);
// The budget back to what the buffer itself holds.
void SockBufReturn(SockBuf &sb);

// Response body appends; each returns the new output length. A failed allocation ends
// the process with exit status 1; an append past the budget is dropped (overBudget).
int OutAppend(SockBuf &sb, const void *data, size_t count);
int OutAppendStr(SockBuf &sb, const char *text);
int OutAppendJson(SockBuf &sb, const void *data, size_t count);
// printf-style append of one formatted piece (any length).
int OutAppendF(SockBuf &sb, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
