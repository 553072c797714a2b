// Package download from the remote chart server: the download thread, its HTTP client
// and the knobs they share. The route handler itself is declared in handlers.h.
#pragma once

#include <atomic>
#include <string>

#include "common/sockbuf.h"

// Host name of the remote chart server, used when MAROLIN_CHART_SERVER is not set.
extern const char *const DefaultChartServer;

// The configured server: MAROLIN_CHART_SERVER or the default, "name" or "name:port"
// ("[v6-address]:port" for a literal IPv6 address). Read for every request.
struct ChartServer {
  std::string text;  // as configured; sent in the Host header
  std::string host;  // name or address to resolve
  std::string port;  // "80" unless configured
};
ChartServer ChartServerConfig();

// Name resolution is tried this often before a request gives up.
constexpr int ResolveTries = 20;
// Bad blocks in a row that are retried with a new request; one more ends the download.
constexpr int BlockRetries = 5;
// The body is read and written in blocks of this size.
constexpr int BlockSize = 65536;
// Send time-out of the remote connection, in seconds (plus 100 ms, as SockSetOptions);
// its reads wait in short slices bounded by PieceLimitMs.
constexpr int RemoteReceiveSeconds = 60;

// Pauses in milliseconds (2000 each): between resolve tries, and after a bad block before
// the next request. Variables so that a test can shorten them.
extern std::atomic<int> ResolveRetryWaitMs;
extern std::atomic<int> BlockRetryWaitMs;
// Longest time one piece (the answer's header, or one block of the body) may take, in
// milliseconds; a slower piece is a bad piece. A variable so that a test can shorten it.
extern std::atomic<int> PieceLimitMs;

// Results of RemoteGet besides a Content-Length (> 0, or 0).
enum RemoteGetResult {
  RemoteNotResolved = -1,
  RemoteNoConnection = -2,
  RemoteNoLength = -3,
  RemoteNotOk = -4,  // the status line is not a 2xx answer
  RemoteChunked = -6,
};

// Connects to the chart server, sends GET path and reads the answer's header. The socket
// is left in conn (the caller closes it) with the unread rest of the answer in its
// buffer. Returns the Content-Length or one of RemoteGetResult.
int RemoteGet(SockBuf &conn, const char *path);

// Works through the download that the route requested in HostConfig.DownloadState;
// returns at once unless the state is 1 (requested) or 3 (cancelled before it began).
void DownloadThread();
