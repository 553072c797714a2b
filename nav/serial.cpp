// Serial input: one reader thread per port the system lists, and the playback of a
// recorded NMEA file. Both are started together by SerialStartAll when the page switches
// serial input on; nobody waits for them.
#include "nav/serial.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "common/host_config.h"
#include "common/pos_state.h"
#include "nav/nav.h"

std::atomic<void (*)(const char *)> SerialSentenceSink{NmeaHandleSentence};

namespace {

const char *const kPortListKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char *const kDevicePrefix = "/dev/";
const char *const kLineDefinition = "4800,n,8,1";
const char *const kPlaybackFile = "Marolin/nmea.log";
const char *const kBeginSql = "BEGIN IMMEDIATE";
const char *const kClearLogSql = "DELETE FROM log";
const char *const kCommitSql = "COMMIT";
const char *const kRollbackSql = "ROLLBACK";
const char *const kMarkerSql = "INSERT INTO log (ts,x,y,t,v) VALUES (?,999,999,2,'NMEA playback starts')";
const char *const kValuesMessage = "\nNumber of values: %d\n";
const char *const kPortMessage = "!!(%d) %s %s \n";
const char *const kClosingMessage = "closing(%s)\n";

constexpr int kRegBufferSize = 1024;
constexpr int kWorkingCopySize = 260;  // a serial line of at most 259 characters and its NUL
constexpr int kPlaybackLineSize = 1000;

// Thread starts whose failure only means the source does not run.
template <class F, class... Args>
void StartDetached(F f, Args &&...args) {
  try {
    std::thread(f, std::forward<Args>(args)...).detach();
  } catch (const std::system_error &) {
  }
}

// A line is handed on when it holds a '$' or '!' followed by a '*' with no second '$'
// or '!' in between.
bool SentenceShaped(const char *text) {
  const char *start = std::strpbrk(text, "$!");
  if (!start) return false;
  for (const char *p = start + 1; *p; ++p) {
    if (*p == '*') return true;
    if (*p == '$' || *p == '!') return false;
  }
  return false;
}

// fgets as a Windows text-mode stream reads: a CR directly before an LF is dropped.
char *TextModeGets(char *buf, int size, FILE *f) {
  int n = 0;
  while (n < size - 1) {
    int c = std::getc(f);
    if (c == EOF) break;
    if (c == '\r') {
      int next = std::getc(f);
      if (next == '\n')
        c = '\n';
      else if (next != EOF)
        std::ungetc(next, f);
    }
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (n == 0) return nullptr;
  buf[n] = 0;
  return buf;
}

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};

}  // namespace

void SerialStartAll() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortListKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  SerialEnumerate(key);
  StartDetached(NmeaPlaybackThread, std::string(kPlaybackFile));
  RegCloseKey(key);
}

void SerialEnumerate(HKEY key) {
  unsigned long values = 0;
  if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS ||
      values == 0)
    return;
  std::printf(kValuesMessage, static_cast<int>(values));
  for (unsigned long i = 0; i < values; ++i) {
    char name[kRegBufferSize];
    unsigned char data[kRegBufferSize];
    unsigned long nameLen = sizeof name;
    unsigned long dataLen = sizeof data;
    if (RegEnumValueA(key, i, name, &nameLen, nullptr, nullptr, data, &dataLen) != ERROR_SUCCESS) continue;
    const char *text = reinterpret_cast<const char *>(data);
    std::string portName(text, strnlen(text, std::min<unsigned long>(dataLen, sizeof data)));
    std::printf(kPortMessage, static_cast<int>(i + 1), name, portName.c_str());
    std::unique_ptr<SerialPortContext> context;
    try {
      context = std::make_unique<SerialPortContext>();
      context->devicePath = kDevicePrefix + portName;
    } catch (const std::bad_alloc &) {
      continue;
    }
    StartDetached(PortThread, std::move(context));
  }
}

CommPort PortOpen(const char *path) {
  CommPort port = CommOpen(path);
  if (!port) return nullptr;
  // Every step is tried; any failure refuses the port.
  DCB dcb;
  bool ok = GetCommState(port.get(), dcb);
  dcb = DCB{};
  BuildCommDCBA(kLineDefinition, dcb);
  dcb.fBinary = true;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 4800;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  ok = SetCommState(port.get(), dcb) && ok;
  COMMTIMEOUTS timeouts;
  ok = GetCommTimeouts(port.get(), timeouts) && ok;
  timeouts.ReadIntervalTimeout = 50;
  timeouts.ReadTotalTimeoutMultiplier = 1000;
  timeouts.ReadTotalTimeoutConstant = 30000;
  timeouts.WriteTotalTimeoutMultiplier = 1000;
  timeouts.WriteTotalTimeoutConstant = 100;
  ok = SetCommTimeouts(port.get(), timeouts) && ok;
  if (!ok) return nullptr;
  return port;
}

char *PortReadLine(SerialPortContext &c) {
  char *const buf = c.readBuffer;
  for (;;) {
    c.lineLength = 0;
    for (; c.cursor < c.fillEnd; ++c.cursor) {
      if (*c.cursor == '\n') {
        *c.cursor = 0;
        char *line = c.lineStart;
        c.lineStart = c.cursor = c.cursor + 1;
        return line;
      }
      if (*c.cursor == '\r')
        *c.cursor = 0;
      else
        ++c.lineLength;
    }
    // No LF yet: keep the partial line at the buffer start and read behind it. A full
    // buffer asks for 0 bytes, gets 0 and so is delivered as one line.
    int partial = static_cast<int>(c.fillEnd - c.lineStart);
    if (c.lineStart != buf) std::memmove(buf, c.lineStart, static_cast<size_t>(partial));
    c.lineStart = c.cursor = buf;
    c.fillEnd = buf + partial;
    long count = c.failed ? -1 : CommRead(c.port.get(), c.fillEnd, static_cast<size_t>(SerialPortContext::kBufferSize - partial));
    if (count > 0) {
      c.fillEnd += count;
      continue;
    }
    if (count < 0) {
      // The port is gone: what it brought before is still a line; after that, no more.
      c.failed = true;
      if (partial == 0) return nullptr;
    }
    c.lineLength = partial;
    *c.fillEnd = 0;
    c.fillEnd = buf;
    return buf;
  }
}

void PortThread(std::unique_ptr<SerialPortContext> context) {
  SerialPortContext &c = *context;
  c.lineStart = c.fillEnd = c.cursor = c.readBuffer;
  c.port = PortOpen(c.devicePath.c_str());
  if (!c.port) return;
  char copy[kWorkingCopySize];
  for (;;) {
    const char *line = PortReadLine(c);
    if (!line) break;
    if (PosState.serialInput == 0) break;
    // A CR ends the text; longer lines are cut to what the copy holds.
    size_t len = strnlen(line, static_cast<size_t>(std::min(c.lineLength, kWorkingCopySize - 1)));
    std::memcpy(copy, line, len);
    copy[len] = 0;
    if (!SentenceShaped(copy)) continue;
    if (PosState.tcpInput == 0) SerialSentenceSink.load()(copy);
  }
  std::printf(kClosingMessage, c.devicePath.c_str());
}

void NmeaPlaybackThread(std::string path) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "re"));
  if (!file) return;
  {
    // The clear and the marker are one transaction under the connection's lock: a poll
    // meanwhile answers the whole old track or none of it.
    DbHandle db = HostConfig.TripDb.get();
    int64_t started = static_cast<int64_t>(std::time(nullptr));
    PosState.now = started;
    SqliteLock lock(HostConfig.DbMutex);
    ConnectionLock host(db.get());
    if (db && sqlite3_exec(db.get(), kBeginSql, nullptr, nullptr, nullptr) == SQLITE_OK) {
      bool done = sqlite3_exec(db.get(), kClearLogSql, nullptr, nullptr, nullptr) == SQLITE_OK;
      {
        Stmt marker(db.get(), kMarkerSql);
        sqlite3_bind_int64(marker, 1, started);
        done = sqlite3_step(marker) == SQLITE_DONE && done;
      }
      if (!done || sqlite3_exec(db.get(), kCommitSql, nullptr, nullptr, nullptr) != SQLITE_OK)
        sqlite3_exec(db.get(), kRollbackSql, nullptr, nullptr, nullptr);
    }
  }
  char line[kPlaybackLineSize];
  while (TextModeGets(line, sizeof line, file.get())) SerialSentenceSink.load()(line);
}
