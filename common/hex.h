// Hexadecimal digits as they come in checksums, URL escapes and stored names.
// Header-only, so that platform/ uses the same without linking common.
#pragma once

#include <cstdint>

// What HexDigitValue gives for a character that is no hexadecimal digit.
constexpr uint8_t kNotHexDigit = 255;

// "0"-"9" -> 0-9, "A"-"F"/"a"-"f" -> 10-15, anything else kNotHexDigit.
constexpr uint8_t HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return kNotHexDigit;
}
