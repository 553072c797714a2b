// Number scanning for the path arguments of the chart routes, accepting what the
// formats "%d" and "%llu" accept and nothing that would leave a number undefined.
#pragma once

#include <cstdint>

// Matches the literal lead, then up to count signed 32-bit decimal numbers separated by
// sep. Returns how many numbers were read; stops at the first one that is missing, not
// numeric or out of range. *end, when given, points after the last number read.
int ScanInts(const char *text, const char *lead, int32_t *out, int count, char sep,
             const char **end = nullptr);

// Skips a decimal number of any size as "%d" reads it (blanks, a sign, digits), for a
// number whose value is not used. Null when there is none.
const char *SkipNumber(const char *text);

// An unsigned 64-bit decimal number at text (a leading '-' negates, as "%llu" does).
// False when there is none or it does not fit.
bool ScanU64(const char *text, uint64_t *out);
