// AisRowBuffer: the rows not yet polled, dropping the oldest whole rows past the bound.
#include "nav/ais/ais_rows_buffer.h"

#include <memory>

// The buffer is never destroyed: feeder threads are not stopped at exit and may still
// append while the process ends.
AisRowText &AisRowBuffer = *std::make_unique<AisRowText>().release();
std::mutex AisRowLock;

void AisRowText::Append(const char *row, size_t len) {
  size_t sep = Empty() ? 0 : 2;
  // Over the bound the oldest whole rows make room; the separators mark row ends.
  while (!Empty() && Size() + sep + len > kAisRowBufferLimit) {
    size_t end = text_.find(",\n", head_);
    if (end == std::string::npos) {
      Clear();
      sep = 0;
      break;
    }
    head_ = end + 2;
  }
  if (head_ > text_.size() / 2) {
    text_.erase(0, head_);
    head_ = 0;
  }
  if (sep) text_.append(",\n", 2);
  text_.append(row, len);
}

void AisRowText::Clear() {
  text_.clear();
  head_ = 0;
}
