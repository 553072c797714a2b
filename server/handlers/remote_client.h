// HTTP/1.1 client for the remote chart server, as the package download uses it: one GET
// with its answer's header, then the body read as it comes. Every wait is cut into short
// slices that look at the download's cancel, so that a cancel takes effect whatever the
// server does.
#pragma once

#include <atomic>
#include <chrono>
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
// Send time-out of the remote connection, in seconds (plus 100 ms, as SockSetOptions);
// its reads wait in short slices bounded by IdleLimitMs.
constexpr int RemoteReceiveSeconds = 60;

// Pause between resolve tries in milliseconds (2000). A variable so that a test can
// shorten it.
extern std::atomic<int> ResolveRetryWaitMs;
// Longest wait for the next bytes of an answer (its header, or the body), in milliseconds
// (60100, the receive time-out): a read fails only on a receive error or when nothing
// comes for this long, so a slow but steady link takes as long as it needs. A variable so
// that a test can shorten it.
extern std::atomic<int> IdleLimitMs;

// Results of RemoteGet besides a Content-Length (> 0, or 0).
enum RemoteGetResult {
  RemoteNotResolved = -1,
  RemoteNoConnection = -2,
  RemoteNoLength = -3,
  RemoteNotOk = -4,  // the status line is not a 2xx answer
  RemoteChunked = -6,
};

// Connects to the chart server, sends GET path and reads the answer's header. The socket
// is left in conn (the caller closes it with CloseRemote) with the unread rest of the
// answer in its buffer. Returns the Content-Length or one of RemoteGetResult.
int RemoteGet(SockBuf &conn, const char *path);

// The connection of one request, closed when the request is done with it.
void CloseRemote(SockBuf &conn);

using RemoteClock = std::chrono::steady_clock;

// When a wait for bytes begun now gives up: IdleLimitMs from now.
RemoteClock::time_point IdleDeadline();

// Reads between 1 and want bytes of the body into to: what the header read left in conn,
// else what the socket brings next. Returns the count; 0 when the page cancels; -1 when
// the server closes or fails, or sends nothing for IdleLimitMs.
int ReadBody(SockBuf &conn, char *to, int want);

// True once the page has asked to cancel the download.
bool DownloadCancelRequested();

// Sleeps ms, or less when a cancel comes.
void PauseUnlessCancelled(int ms);

// printf into a string (the C conventions, as every format of the program).
std::string FormatString(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
