// The key of a chart tile: z, y and x packed as z<<40 | y<<20 | x, x and y 20 bits each.
#pragma once

#include <cstdint>

// Each number is widened with its sign and nothing is masked, so a number outside its
// field spills into the neighbouring bits (a negative x sets every bit above it). The
// shifts are done unsigned, which gives the same bits without undefined behaviour.
constexpr int64_t TileKey(int32_t z, int32_t y, int32_t x) {
  uint64_t key = static_cast<uint64_t>(static_cast<int64_t>(z)) << 40 |
                 static_cast<uint64_t>(static_cast<int64_t>(y)) << 20 |
                 static_cast<uint64_t>(static_cast<int64_t>(x));
  return static_cast<int64_t>(key);
}

static_assert(TileKey(3, 5, 7) == 3298540126215);
static_assert(TileKey(2, 1048576, 0) == TileKey(3, 0, 0));
static_assert(TileKey(1, 0, -1) == -1);
