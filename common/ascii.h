// Case-insensitive comparison of ASCII words (switches, tag and header names). Only A-Z
// fold: the C library's strcasecmp follows LC_CTYPE, and under a Turkish locale "I" is
// not the capital of "i".
#pragma once

#include <cstddef>

constexpr char AsciiToLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// As strncasecmp over at most n characters, folding ASCII letters only.
inline int AsciiStrncasecmp(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(AsciiToLower(a[i]));
    const unsigned char y = static_cast<unsigned char>(AsciiToLower(b[i]));
    if (x != y || x == 0) return x - y;
  }
  return 0;
}

inline bool AsciiCaseEqual(const char *a, const char *b) { return AsciiStrncasecmp(a, b, static_cast<size_t>(-1)) == 0; }
