// MD5 as RFC 1321 gives it: four rounds of sixteen steps over 64-byte blocks.
#include "common/md5.h"

#include <cstdio>
#include <cstring>

namespace {

// T[i] = floor(abs(sin(i + 1)) * 2^32), round by round.
constexpr uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Shift amounts: four per round, repeated over the round's sixteen steps.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

uint32_t LoadLe(const unsigned char *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void StoreLe(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

void Md5Init(Md5Context &ctx) {
  ctx.bits[0] = ctx.bits[1] = 0;
  ctx.state[0] = 0x67452301;
  ctx.state[1] = 0xefcdab89;
  ctx.state[2] = 0x98badcfe;
  ctx.state[3] = 0x10325476;
  std::memset(ctx.block, 0, sizeof ctx.block);
}

void Md5Transform(Md5Context &ctx, const unsigned char *block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLe(block + 4 * i);
  uint32_t a = ctx.state[0], b = ctx.state[1], c = ctx.state[2], d = ctx.state[3];
  for (int i = 0; i < 64; ++i) {
    int round = i / 16;
    uint32_t f;
    int k;
    switch (round) {
      case 0: f = (b & c) | (~b & d); k = i; break;
      case 1: f = (d & b) | (~d & c); k = (5 * i + 1) % 16; break;
      case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
      default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
    }
    uint32_t t = d;
    d = c;
    c = b;
    b = b + Rotl(a + f + x[k] + kT[i], kShift[round][i % 4]);
    a = t;
  }
  ctx.state[0] += a;
  ctx.state[1] += b;
  ctx.state[2] += c;
  ctx.state[3] += d;
}

void Md5Update(Md5Context &ctx, const void *data, size_t len) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  size_t have = (ctx.bits[0] >> 3) & 63;
  uint64_t bits = (uint64_t(ctx.bits[1]) << 32 | ctx.bits[0]) + (uint64_t(len) << 3);
  ctx.bits[0] = static_cast<uint32_t>(bits);
  ctx.bits[1] = static_cast<uint32_t>(bits >> 32);
  if (have) {
    size_t take = 64 - have;
    if (len < take) {
      std::memcpy(ctx.block + have, p, len);
      return;
    }
    std::memcpy(ctx.block + have, p, take);
    Md5Transform(ctx, ctx.block);
    p += take;
    len -= take;
  }
  for (; len >= 64; p += 64, len -= 64) Md5Transform(ctx, p);
  std::memcpy(ctx.block, p, len);
}

void Md5Final(Md5Context &ctx, unsigned char digest[16]) {
  unsigned char length[8];
  StoreLe(length, ctx.bits[0]);
  StoreLe(length + 4, ctx.bits[1]);
  // One 0x80 byte, then zeros up to 56 mod 64, then the length before padding.
  static const unsigned char kPad[64] = {0x80};
  size_t have = (ctx.bits[0] >> 3) & 63;
  Md5Update(ctx, kPad, have < 56 ? 56 - have : 120 - have);
  Md5Update(ctx, length, 8);
  for (int i = 0; i < 4; ++i) StoreLe(digest + 4 * i, ctx.state[i]);
  std::memset(&ctx, 0, sizeof ctx);
}

void Md5Hex(char out[33], const char *text) {
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, text, std::strlen(text));
  unsigned char digest[16];
  Md5Final(ctx, digest);
  for (int i = 0; i < 16; ++i) std::snprintf(out + 2 * i, 3, "%.02x", digest[i]);
}
