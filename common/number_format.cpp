#include "common/number_format.h"

#include <charconv>

// With a precision, to_chars writes printf's digits: the exact binary value rounded half
// to even, a signed zero's sign, "nan", "-nan", "inf" and "-inf" as glibc spells them.
char *FormatFixed6(char *out, double v) { return std::to_chars(out, out + kFixed6Max, v, std::chars_format::fixed, 6).ptr; }

char *FormatInt(char *out, int32_t v) { return std::to_chars(out, out + 11, v).ptr; }
