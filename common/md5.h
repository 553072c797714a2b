// MD5 message digest (RFC 1321), computed incrementally.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5Context {
  uint32_t bits[2];  // message length in bits, low half first
  uint32_t state[4]; // chaining values A, B, C, D
  unsigned char block[64];  // partial block not yet transformed
};

void Md5Init(Md5Context &ctx);
// Runs one 64-byte block through the compression function.
void Md5Transform(Md5Context &ctx, const unsigned char *block);
void Md5Update(Md5Context &ctx, const void *data, size_t len);
// Pads, finishes and writes the 16 digest bytes; the context is spent afterwards.
void Md5Final(Md5Context &ctx, unsigned char digest[16]);
// Digest of a NUL-terminated text as 32 lower-case hex digits and a NUL (33 bytes).
void Md5Hex(char out[33], const char *text);
