// Path argument scanning for the chart routes.
#include "server/handlers/args.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

// Leading blanks are skipped and a sign is taken, as "%d" does.
static bool ScanInt(const char *p, int32_t *out, const char **end) {
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const char *digits = (*p == '+' || *p == '-') ? p + 1 : p;
  if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
  errno = 0;
  char *e = nullptr;
  long long v = std::strtoll(p, &e, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  *end = e;
  return true;
}

int ScanInts(const char *text, const char *lead, int32_t *out, int count, char sep, const char **end) {
  size_t leadLen = std::strlen(lead);
  if (std::strncmp(text, lead, leadLen) != 0) return 0;
  const char *p = text + leadLen;
  int n = 0;
  while (n < count) {
    if (n > 0) {
      if (*p != sep) break;
      const char *e;
      if (!ScanInt(p + 1, &out[n], &e)) break;
      p = e;
    } else {
      if (!ScanInt(p, &out[n], &p)) break;
    }
    ++n;
  }
  if (end) *end = p;
  return n;
}

const char *SkipNumber(const char *p) {
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+' || *p == '-') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return nullptr;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  return p;
}

bool ScanU64(const char *p, uint64_t *out) {
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const char *digits = (*p == '+' || *p == '-') ? p + 1 : p;
  if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
  errno = 0;
  unsigned long long v = std::strtoull(p, nullptr, 10);
  if (errno == ERANGE) return false;
  *out = v;
  return true;
}
