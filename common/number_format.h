// Numbers written as printf's "%f" and "%d" write them in the C locale, without printf:
// the same bytes whatever the process's locale, and without its cost per call.
#pragma once

#include <cstdint>

// The longest "%f" of a double: a sign, 309 digits, the point and 6 decimals.
constexpr int kFixed6Max = 320;

// Writes v as "%f" does (NaN and infinity too); out holds kFixed6Max bytes.
// Returns one past the last byte written; nothing is terminated.
char *FormatFixed6(char *out, double v);

// Writes v as "%d" does; out holds 11 bytes. Returns one past the last byte written.
char *FormatInt(char *out, int32_t v);
