// Package download from the remote chart server: the download thread and the knobs it
// shares with the tests. The route handler itself is declared in handlers.h; the HTTP
// client it fetches with is in remote_client.h.
#pragma once

#include <atomic>

#include "server/handlers/remote_client.h"

// Bad blocks in a row that are retried with a new request; one more ends the download.
constexpr int BlockRetries = 5;
// The body is counted in blocks of this size: a block that does not come whole is a bad
// block. Its bytes are written as they come all the same.
constexpr int BlockSize = 65536;

// Pause in milliseconds (2000) after a bad block before the next request. A variable so
// that a test can shorten it.
extern std::atomic<int> BlockRetryWaitMs;

// Works through the download that the route requested in HostConfig.DownloadState;
// returns at once unless the state is 1 (requested) or 3 (cancelled before it began).
void DownloadThread();
