// NMEA over TCP: the client's record and its timings (nav/nmea_tcp.cpp).
#pragma once

#include <atomic>

// The receive time-out and the wait after a failed connect: a link silent for 60.1 s is
// closed and dialled again, a failed connect waits 5 s before the next try. Tests shorten
// them to drive the same code path quickly.
struct NmeaTcpTimingRec {
  std::atomic<int> receiveTimeoutMs{60100};
  std::atomic<int> retryWaitMs{5000};
};
extern NmeaTcpTimingRec NmeaTcpTiming;

// Longest accepted line, CR and LF included, is one less than this.
constexpr int kNmeaTcpLineLimit = 500;

// True while a client thread holds the link (from its take-over until it has closed its
// last socket and ended).
bool NmeaTcpClientActive();
