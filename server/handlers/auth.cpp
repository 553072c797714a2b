// The page's request token: the MD5 of its text followed by a suffix only the program holds.
#include <cstring>

#include "common/md5.h"
#include "server/handlers/handlers.h"

static const char kTokenSuffix[] = "-qomTrev";

void HandleGetAuth(SockBuf &w, const char *text) {
  // The path is at most 254 characters, so any argument fits with the suffix.
  char input[256 + sizeof kTokenSuffix];
  size_t n = strnlen(text, 256);
  std::memcpy(input, text, n);
  std::memcpy(input + n, kTokenSuffix, sizeof kTokenSuffix);
  char token[33];
  Md5Hex(token, input);
  OutAppend(w, token, 32);
  SendResponse(w, 0, nullptr, kMimeJson);
}
