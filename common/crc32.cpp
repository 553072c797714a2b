// CRC-32 table and update.
#include "common/crc32.h"

namespace {

// Entry n is n shifted right eight times, XORed with the polynomial whenever a 1 falls out.
constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[n] = c;
  }
  return t;
}

}  // namespace

constinit const std::array<uint32_t, 256> Crc32Table = MakeTable();

uint32_t Crc32Update(uint32_t crc, const void *data, size_t len) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < len; ++i) crc = Crc32Table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}
