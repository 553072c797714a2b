// Package download: the "/download/" route (start, poll, cancel) and the download thread,
// which resumes over what the temporary file holds, fetches the rest from the chart
// server and installs the package after the size and CRC-32 check.
#include "server/handlers/download.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "common/crc32.h"
#include "common/fd.h"
#include "common/host_config.h"
#include "server/databases.h"
#include "server/handlers/handlers.h"

std::atomic<int> BlockRetryWaitMs{2000};

namespace {

const char kProgressFormat[] = "{\"id\":%d,\"b\":%d,\"s\":%d,\"e\":%d}";
const char kRequestFormat[] = "%d %d %d %8x";
const char kTempFormat[] = "%sN%06d.temp";
const char kTargetFormat[] = "%sA%06d.veskara";
const char kRemotePathFormat[] = "/ajax3.php?download=%d&v=%d&p=%d&u=%d";
constexpr int kResumeBlock = 8192;

// Error codes as the page sees them.
enum {
  ErrNone = 0,
  ErrLocal = -1,      // no buffer, or the temporary file cannot be opened or read
  ErrRequest = -2,    // a request to the server failed
  ErrBlocks = -3,     // six bad blocks in a row
  ErrWrite = -4,      // a block not written whole, or the install rename failed
  ErrCheck = -5,      // too long, wrong CRC-32, or no positive size requested
  ErrCancelled = -7,
};

// What the route asked for, and where its bytes go.
struct Job {
  int id = 0, version = 0, size = 0;
  unsigned int crcExpected = 0;
  std::string temp;  // the temporary file in the data folder
};

// What the temporary file holds so far: its length and the running CRC-32 over it.
struct Held {
  long long bytes = 0;
  uint32_t crc = 0xFFFFFFFFu;
};

bool Cancelling(const DownloadStateRec &d) { return d.state == DownloadCancelling; }

// Reads the start request into job; false, with the error set, when there is nothing a
// download could be checked against (no positive size: an empty package never installs).
bool ReadJob(DownloadStateRec &d, Job &job) {
  std::sscanf(d.request, kRequestFormat, &job.id, &job.version, &job.size, &job.crcExpected);
  d.id = job.id;
  if (job.size <= 0) {
    d.error = ErrCheck;
    return false;
  }
  job.temp = FormatString(kTempFormat, HostConfig.PackageFolder, job.id);
  return true;
}

// Resume: the CRC runs over what the file holds, and the file is left positioned at its
// end. Once the file is longer than the package it fails the check whatever follows, so
// the rest is not read. False, with the error set, when the file cannot be read.
bool ResumeFromTemp(DownloadStateRec &d, int fd, const Job &job, Held &held) {
  char block[kResumeBlock];
  for (;;) {
    ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      d.error = ErrLocal;  // what the file holds is unknown: keep it, go no further
      return false;
    }
    if (n == 0) break;
    held.crc = Crc32Update(held.crc, block, static_cast<size_t>(n));
    held.bytes += n;
    d.bytes = static_cast<int>(std::min<long long>(held.bytes, INT_MAX));
    if (held.bytes > job.size) return true;
  }
  if (::lseek(fd, 0, SEEK_END) != held.bytes) {
    d.error = ErrLocal;
    return false;
  }
  return true;
}

// Appends what came to the file and runs the CRC over it; false, with the error set, when
// the file did not take it whole.
bool Keep(DownloadStateRec &d, int fd, const char *bytes, int n, Held &held) {
  if (!WriteAll(fd, bytes, static_cast<size_t>(n))) {
    d.error = ErrWrite;
    return false;
  }
  held.crc = Crc32Update(held.crc, bytes, static_cast<size_t>(n));
  held.bytes += n;
  d.bytes = static_cast<int>(held.bytes);
  return true;
}

// Reads the body of one answer into the file, every byte written as it comes, so that
// whatever ends the answer the next request continues after the last byte that came. The
// body is counted in blocks: one that does not come whole (the server closes or fails, or
// sends nothing for IdleLimitMs) is a bad block; it uses up one of the retries (the
// caller then asks again from where the file ends) or, with none left, ends the download.
// A block may take as long as the link needs.
void FetchBlocks(DownloadStateRec &d, SockBuf &conn, int fd, const Job &job, Held &held, int &retries,
                 std::string &buf) {
  while (held.bytes < job.size && !Cancelling(d)) {
    // The last block asks only for what is missing, so a server that keeps the
    // connection open after the body does not leave it waiting.
    int want = static_cast<int>(std::min<long long>(BlockSize, job.size - held.bytes));
    int got = 0, n = 0;
    while (got < want && (n = ReadBody(conn, buf.data(), want - got)) > 0) {
      if (!Keep(d, fd, buf.data(), n, held)) return;
      got += n;
    }
    if (got == want) {
      retries = BlockRetries;
      continue;
    }
    if (n == 0) return;  // cancelled
    if (retries > 0) {
      --retries;
      PauseUnlessCancelled(BlockRetryWaitMs);
    } else {
      d.error = ErrBlocks;
    }
    return;
  }
}

// Fetches the rest of the package, one request from where the file ends after each bad
// block, until it is whole, an error ends it or the page cancels.
void FetchRest(DownloadStateRec &d, SockBuf &conn, int fd, const Job &job, Held &held) {
  std::string buf(static_cast<size_t>(BlockSize), '\0');
  int retries = BlockRetries;
  while (held.bytes < job.size && d.error == ErrNone && !Cancelling(d)) {
    SockBufReset(conn);
    std::string path = FormatString(kRemotePathFormat, job.id, job.version, static_cast<int>(held.bytes), 0);
    int length = RemoteGet(conn, path.c_str());
    if (length <= 0) {
      d.error = ErrRequest;
      CloseRemote(conn);
      return;
    }
    FetchBlocks(d, conn, fd, job, held, retries, buf);
    CloseRemote(conn);
  }
}

// Checks the whole file against the request and installs it. A file that fails the check
// is removed; one not yet whole is kept for a later start with the same id.
void CheckAndInstall(DownloadStateRec &d, const Job &job, const Held &held) {
  if (held.bytes > job.size || (held.bytes == job.size && ~held.crc != job.crcExpected)) {
    d.error = ErrCheck;
    ::unlink(job.temp.c_str());
    return;
  }
  if (held.bytes < job.size) return;

  // The rename replaces the package in one step; connections opened on the old file keep
  // reading it until their last user lets go.
  std::string target = FormatString(kTargetFormat, HostConfig.PackageFolder, job.id);
  if (job.id != 1) HostConfig.ChartDb.close();
  if (std::rename(job.temp.c_str(), target.c_str()) != 0) {
    d.error = ErrWrite;  // the old package and the temporary file stay as they were
    return;
  }
  // A journal beside the name belongs to the old file (a WAL package left its -wal and
  // -shm): SQLite would read its pages into the new one.
  for (const char *end : {"-wal", "-shm", "-journal"}) ::unlink((target + end).c_str());
  if (job.id == 1) HostConfig.AppDb.set(OpenPackageFile(target.c_str()));
}

// Steps of the download up to the install; the caller settles the end state. Every exit
// leaves its outcome in d.error.
void RunDownload(DownloadStateRec &d) {
  SockBuf conn;
  if (!SockBufInit(conn)) {
    d.error = ErrLocal;
    return;
  }
  Job job;
  if (!ReadJob(d, job)) return;
  UniqueFd file(::open(job.temp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (file.get() < 0) {
    d.error = ErrLocal;
    return;
  }
  Held held;
  if (!ResumeFromTemp(d, file.get(), job, held)) return;
  FetchRest(d, conn, file.get(), job, held);
  file.reset();
  CheckAndInstall(d, job, held);
}

}  // namespace

void DownloadThread() {
  DownloadStateRec &d = HostConfig.DownloadState;
  int s = d.state;
  if (s != DownloadRequested && s != DownloadCancelling) return;
  d.error = ErrNone;
  d.bytes = 0;
  d.id = 0;
  // A cancel may come between the test above and this step; it then stays in force.
  int expected = DownloadRequested;
  d.state.compare_exchange_strong(expected, DownloadRunning);
  RunDownload(d);
  if (d.state == DownloadCancelling) d.error = ErrCancelled;
  d.state = DownloadIdle;
}

void HandleDownload(SockBuf &w, const char *rest) {
  DownloadStateRec &d = HostConfig.DownloadState;
  int s = d.state;
  bool started = false;
  if (rest[0] != '*' && s == DownloadIdle) {
    // One compare-and-swap decides between starts that arrive together.
    if (d.state.compare_exchange_strong(s, DownloadRequested)) {
      std::snprintf(d.request, sizeof d.request, "%s", rest);
      try {
        std::thread(DownloadThread).detach();
      } catch (const std::system_error &) {
        d.error = ErrLocal;
        d.state = DownloadIdle;
      }
      s = d.state;
      started = true;
    }
  }
  if (!started && rest[0] && rest[1] == '*') {
    // Only a requested or running download is cancelled: a thread that has just ended
    // must not leave the state at 3 behind it.
    while ((s == DownloadRequested || s == DownloadRunning) && !d.state.compare_exchange_weak(s, DownloadCancelling)) {
    }
    if (s == DownloadRequested || s == DownloadRunning) s = DownloadCancelling;
  }
  OutAppendF(w, kProgressFormat, d.id.load(), d.bytes.load(), s, d.error.load());
  SendResponse(w, 0, nullptr, kMimeJson);
}
