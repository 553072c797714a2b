// A small PNG writer for generated chart tiles: 8-bit palette images, compressed with
// fixed-Huffman deflate whose only matches are runs and copies of the row above, which
// is all that flat chart colours need.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/crc32.h"

namespace png_write {

struct Rgb {
  uint8_t r, g, b;
};

// Writes bits least significant first, as deflate wants.
class BitWriter {
 public:
  void put(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
      if (bit_ == 0) out_.push_back(0);
      if (value >> i & 1) out_.back() = static_cast<char>(out_.back() | (1 << bit_));
      bit_ = (bit_ + 1) & 7;
    }
  }
  // Huffman codes go most significant bit first.
  void code(uint32_t code, int len) {
    for (int i = len - 1; i >= 0; --i) put(code >> i & 1, 1);
  }
  std::string &bytes() { return out_; }

 private:
  std::string out_;
  int bit_ = 0;
};

inline void Symbol(BitWriter &w, int sym) {
  if (sym < 144) w.code(0x30 + sym, 8);
  else if (sym < 256) w.code(0x190 + sym - 144, 9);
  else if (sym < 280) w.code(sym - 256, 7);
  else w.code(0xC0 + sym - 280, 8);
}

inline void Match(BitWriter &w, int len, int dist) {
  static const int kLenBase[] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static const int kLenExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  static const int kDistBase[] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129,
                                  193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
  static const int kDistExtra[] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
  int l = 28;
  while (kLenBase[l] > len) --l;
  Symbol(w, 257 + l);
  w.put(static_cast<uint32_t>(len - kLenBase[l]), kLenExtra[l]);
  int d = 29;
  while (kDistBase[d] > dist) --d;
  w.code(static_cast<uint32_t>(d), 5);
  w.put(static_cast<uint32_t>(dist - kDistBase[d]), kDistExtra[d]);
}

// zlib stream of data: one fixed-Huffman block, matches at distance 1 or stride.
inline std::string Deflate(const std::string &data, int stride) {
  BitWriter w;
  w.put(1, 1);  // last block
  w.put(1, 2);  // fixed Huffman codes
  size_t n = data.size();
  for (size_t i = 0; i < n;) {
    size_t best = 0, bestDist = 0;
    for (size_t dist : {size_t(1), static_cast<size_t>(stride)}) {
      if (dist > i) continue;
      size_t len = 0;
      while (len < 258 && i + len < n && data[i + len] == data[i + len - dist]) ++len;
      if (len > best) best = len, bestDist = dist;
    }
    if (best >= 3) {
      Match(w, static_cast<int>(best), static_cast<int>(bestDist));
      i += best;
    } else {
      Symbol(w, static_cast<unsigned char>(data[i]));
      ++i;
    }
  }
  Symbol(w, 256);
  uint32_t a = 1, b = 0;
  for (unsigned char c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  uint32_t adler = b << 16 | a;
  std::string out = "\x78\x01";
  out += w.bytes();
  for (int s = 24; s >= 0; s -= 8) out += static_cast<char>(adler >> s);
  return out;
}

inline void Chunk(std::string &out, const char *type, const std::string &data) {
  uint32_t len = static_cast<uint32_t>(data.size());
  for (int s = 24; s >= 0; s -= 8) out += static_cast<char>(len >> s);
  std::string body = std::string(type, 4) + data;
  out += body;
  uint32_t crc = ~Crc32Update(0xFFFFFFFFu, body.data(), body.size());
  for (int s = 24; s >= 0; s -= 8) out += static_cast<char>(crc >> s);
}

// A width x height image of palette indexes, row by row.
inline std::string EncodePalette(int width, int height, const std::vector<uint8_t> &pixels,
                                 const std::vector<Rgb> &palette) {
  std::string out("\x89PNG\r\n\x1a\n", 8);
  std::string ihdr;
  for (uint32_t v : {static_cast<uint32_t>(width), static_cast<uint32_t>(height)})
    for (int s = 24; s >= 0; s -= 8) ihdr += static_cast<char>(v >> s);
  ihdr += std::string("\x08\x03\x00\x00\x00", 5);  // 8 bits, palette, deflate, no filter choice, no interlace
  Chunk(out, "IHDR", ihdr);
  std::string plte;
  for (const Rgb &c : palette) plte += {static_cast<char>(c.r), static_cast<char>(c.g), static_cast<char>(c.b)};
  Chunk(out, "PLTE", plte);
  std::string raw;
  raw.reserve(static_cast<size_t>((width + 1) * height));
  for (int y = 0; y < height; ++y) {
    raw += '\0';  // filter: none
    raw.append(reinterpret_cast<const char *>(pixels.data()) + static_cast<size_t>(y) * width, static_cast<size_t>(width));
  }
  Chunk(out, "IDAT", Deflate(raw, width + 1));
  Chunk(out, "IEND", "");
  return out;
}

}  // namespace png_write
