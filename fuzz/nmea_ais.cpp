// Arbitrary text lines into the sentence handler and the AIS decoder, with a poll now and
// then: nothing may crash, read out of bounds or leave a torn poll document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/host_config.h"
#include "common/sockbuf.h"
#include "nav/ais/ais.h"
#include "nav/nav.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  HostConfig.ServerRunning = 1;
  std::string text(reinterpret_cast<const char *>(data), size);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    NmeaHandleSentence(line.c_str());
    AisHandleSentence(line.c_str());
    start = end + 1;
  }
  SockBuf w;
  SockBufInit(w);
  AisWriteJson(w);
  std::string doc(w.buf, static_cast<size_t>(w.outLen));
  if (doc.rfind("{\"nmea_stat\":", 0) != 0 || doc.size() < 2 || doc.compare(doc.size() - 2, 2, "]}") != 0)
    std::abort();
  return 0;
}
