// MD5 against the test suite of RFC 1321, CRC-32 against its published check values, and
// both carried across pieces of every size.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/crc32.h"
#include "common/md5.h"

namespace {

std::string Md5Of(const std::string &data, size_t piece) {
  Md5Context ctx;
  Md5Init(ctx);
  for (size_t i = 0; i < data.size(); i += piece) Md5Update(ctx, data.data() + i, std::min(piece, data.size() - i));
  unsigned char d[16];
  Md5Final(ctx, d);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
  return hex;
}

TEST(Md5, Rfc1321TestSuite) {
  struct {
    const char *text, *digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto &c : cases) {
    char out[33];
    std::memset(out, 'X', sizeof out);
    Md5Hex(out, c.text);
    EXPECT_EQ(std::string(out, 33), std::string(c.digest, 33)) << '"' << c.text << '"';
  }
}

TEST(Md5, PiecesOfAnySizeGiveTheOneShotDigest) {
  // Lengths around the block and padding edges (55, 56, 63, 64, 65 ...), fed in pieces
  // that straddle the 64-byte blocks in every way, from an unaligned start.
  std::string buf(1 + 300, 0);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<char>(i * 7 + 3);
  for (size_t len : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 300}) {
    std::string data = buf.substr(1, len);
    std::string whole = Md5Of(data, len ? len : 1);
    for (size_t piece : {1, 3, 17, 63, 64, 65, 200}) EXPECT_EQ(Md5Of(data, piece), whole) << len << "/" << piece;
  }
  EXPECT_EQ(Md5Of(std::string(1000000, 'a'), 4093), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Crc32, StandardValuesAndRunningValue) {
  struct {
    std::string data;
    uint32_t crc;
  } cases[] = {
      {"", 0x00000000},
      {"abc", 0x352441c2},
      {"123456789", 0xcbf43926},
      {"The quick brown fox jumps over the lazy dog", 0x414fa339},
      {std::string(3, '\0'), 0xff41d912},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(~Crc32Update(0xFFFFFFFFu, c.data.data(), c.data.size()), c.crc) << c.data;
    // Carried across a break at every position, as a resumed download does.
    for (size_t cut = 0; cut <= c.data.size(); ++cut) {
      uint32_t v = Crc32Update(0xFFFFFFFFu, c.data.data(), cut);
      v = Crc32Update(v, c.data.data() + cut, c.data.size() - cut);
      EXPECT_EQ(~v, c.crc) << c.data << " cut " << cut;
    }
  }
  EXPECT_EQ(Crc32Table[0], 0u);
  EXPECT_EQ(Crc32Table[1], 0x77073096u);
  EXPECT_EQ(Crc32Table[255], 0x2d02ef8du);
}

}  // namespace
