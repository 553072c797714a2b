// The AIS entry of the sentence handler and the page's poll: rows wait in AisRowBuffer
// until "/getAisData" takes them all.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "nav/ais/ais.h"
#include "nav/ais/ais_codec.h"
#include "nav/ais/ais_rows_buffer.h"
#include "nav/nav.h"

namespace {

constexpr const char *kPollHeader = "{\"nmea_stat\":%d,\"ais\":[\n";
constexpr const char *kPollTrailer = "]}";

// Whole sentences one at a time across the feeder threads: the assembly state, the base
// station time and the saved part A are one set. Always taken before AisRowLock.
std::mutex AisSentenceLock;

}  // namespace

void AisHandleSentence(const char *text) {
  char row[kAisRowSize];
  std::lock_guard<std::mutex> sentence(AisSentenceLock);
  size_t len = AisDecodeRow(text, row);
  if (len == 0) return;
  std::lock_guard<std::mutex> rows(AisRowLock);
  AisRowBuffer.Append(row, len);
}

void AisWriteJson(SockBuf &w) {
  char header[64];
  std::lock_guard<std::mutex> rows(AisRowLock);
  int n = std::snprintf(header, sizeof header, kPollHeader, NmeaTcpState());
  OutAppend(w, header, static_cast<size_t>(n));
  OutAppend(w, AisRowBuffer.Data(), AisRowBuffer.Size());
  OutAppend(w, kPollTrailer, 2);
  AisRowBuffer.Clear();
}
