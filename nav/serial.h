// Serial-port readers and the playback file: what SerialStartAll starts.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/registry.h"
#include "platform/serial.h"

// One port's reader state, owned by its reader thread.
struct SerialPortContext {
  static constexpr int kBufferSize = 1024;

  CommPort port;                     // the handle PortOpen returned
  int lineLength = 0;                // characters of the line being scanned or delivered, CR not counted
  char readBuffer[kBufferSize + 1];  // bytes read, plus room for the NUL after a full buffer
  std::string devicePath;            // "/dev/" + port name
  char *lineStart = readBuffer;      // first byte of the line being collected
  char *fillEnd = readBuffer;        // one past the last byte read
  char *cursor = readBuffer;         // next byte to scan
  bool failed = false;               // a read failed: the port is gone
};

// Where filtered serial lines and playback lines go: NmeaHandleSentence, unless a test
// puts its own sink here before it starts a reader.
extern std::atomic<void (*)(const char *)> SerialSentenceSink;

// Starts one PortThread per value of the open port-list key.
void SerialEnumerate(HKEY key);

// Opens the port at path exclusively and sets it to 4800 8N1, DTR and RTS raised, with
// the reader's time-outs; null when it cannot be opened or configured.
CommPort PortOpen(const char *path);

// The next line of the port inside the context's buffer, NUL-terminated, with
// lineLength set; a line that fills the buffer, or whatever came before a read that
// brought nothing, counts as a line. Null when the port has failed or hung up.
char *PortReadLine(SerialPortContext &context);

// Reader thread: opens the port, hands every sentence-shaped line on while serial
// input is on and the TCP source is not, and ends when serial input is switched off
// or the port goes away.
void PortThread(std::unique_ptr<SerialPortContext> context);

// Playback thread: empties the track log, writes the start marker and feeds every line
// of the file at path, unpaced. Does nothing when the file does not open.
void NmeaPlaybackThread(std::string path);
