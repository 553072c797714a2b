// AisRowBuffer: the rows not yet polled, joined by ",\n", bounded so that a page that
// stops polling cannot make the process grow without end.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

constexpr size_t kAisRowBufferLimit = size_t{4} << 20;

class AisRowText {
 public:
  // Appends one row (with the separator when rows are held); drops the oldest whole rows
  // first when the text would pass kAisRowBufferLimit.
  void Append(const char *row, size_t len);
  void Clear();
  const char *Data() const { return text_.data() + head_; }
  size_t Size() const { return text_.size() - head_; }
  bool Empty() const { return Size() == 0; }

 private:
  std::string text_;
  size_t head_ = 0;  // start of the oldest live row; rows before it were dropped
};

extern AisRowText &AisRowBuffer;  // guarded by AisRowLock
extern std::mutex AisRowLock;
