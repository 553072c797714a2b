// Test helpers for AIS: an encoder of bit fields into armoured payloads and whole sentences,
// written from the message tables independently of the decoder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ais_test {

class BitWriter {
 public:
  BitWriter &put(uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) bits_.push_back(i < 64 ? (value >> i) & 1 : 0);
    return *this;
  }
  BitWriter &putSigned(int64_t value, int width) { return put(static_cast<uint64_t>(value), width); }
  // Six-bit AIS text: '@'..'_' are 0..31, ' '..'?' are 32..63; padded with '@'.
  BitWriter &text(const std::string &s, int chars) {
    for (int i = 0; i < chars; ++i) {
      int c = i < static_cast<int>(s.size()) ? static_cast<unsigned char>(s[i]) : '@';
      put(c >= 64 ? c - 64 : c, 6);
    }
    return *this;
  }
  size_t size() const { return bits_.size(); }
  // Armoured payload padded with zero bits to whole characters.
  std::string armour() const {
    std::string out;
    for (size_t i = 0; i < bits_.size(); i += 6) {
      int v = 0;
      for (size_t j = i; j < i + 6; ++j) v = v * 2 + (j < bits_.size() ? bits_[j] : 0);
      out += static_cast<char>(v < 40 ? v + 48 : v + 56);
    }
    return out;
  }

 private:
  std::vector<int> bits_;
};

inline std::string WithChecksum(const std::string &body) {
  unsigned x = 0;
  for (size_t i = 1; i < body.size(); ++i) x ^= static_cast<unsigned char>(body[i]);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X", x);
  return body + tail;
}

// One sentence carrying payload: "!AIVDM,count,number,seq,A,payload,fill*hh".
inline std::string Sentence(const std::string &payload, int count = 1, int number = 1,
                            const std::string &seq = "", const std::string &head = "!AIVDM") {
  return WithChecksum(head + "," + std::to_string(count) + "," + std::to_string(number) + "," +
                      seq + ",A," + payload + ",0");
}

}  // namespace ais_test
