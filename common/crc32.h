// CRC-32 (the reflected polynomial 0xEDB88320, as in ZIP and PNG), carried as a running
// value over any number of pieces: start with 0xFFFFFFFF, complement the end value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

extern const std::array<uint32_t, 256> Crc32Table;

// Feeds len bytes into the running value crc and returns the new running value.
uint32_t Crc32Update(uint32_t crc, const void *data, size_t len);
