// System services for start-up: version word, host name, locale, data folder, the
// warning box, and the fakes tests install in front of them.
#include "platform/system.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

namespace {

std::mutex gLock;  // guards gFakes and gBoxHandler
PlatformFakes gFakes;
std::function<int(const char *, const char *, unsigned)> gBoxHandler;

template <class F>
F Fake(F PlatformFakes::*member) {
  std::lock_guard<std::mutex> lk(gLock);
  return gFakes.*member;
}

// Reads the decimal number at *p and moves past it; 0 when there is none.
unsigned long TakeNumber(const char **p) {
  unsigned long n = 0;
  while (**p >= '0' && **p <= '9') {
    if (n < 100000) n = n * 10 + static_cast<unsigned long>(**p - '0');
    (*p)++;
  }
  return n;
}

// The first of the POSIX locale variables that is set and not empty.
const char *LocaleVariable() {
  for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char *v = std::getenv(name);
    if (v && *v) return v;
  }
  return nullptr;
}

bool IsAsciiAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

}  // namespace

int PlatformSocketStartup() {
  if (auto fake = Fake(&PlatformFakes::socketStartup)) return fake();
  return 0;
}

unsigned long PlatformGetVersion() {
  if (auto fake = Fake(&PlatformFakes::version)) return fake();
  struct utsname u;
  if (::uname(&u) != 0) return 0;
  const char *p = u.release;
  unsigned long major = TakeNumber(&p), minor = 0, build = 0;
  if (*p == '.') {
    p++;
    minor = TakeNumber(&p);
    if (*p == '.') {
      p++;
      build = TakeNumber(&p);
    }
  }
  return (major & 0xFF) | (minor & 0xFF) << 8 | (build & 0x7FFF) << 16;
}

int PlatformGetHostName(char *buf, size_t size) {
  if (auto fake = Fake(&PlatformFakes::hostName)) return fake(buf, size);
  return ::gethostname(buf, size) == 0 ? 0 : -1;
}

int PlatformGetUserDefaultLocaleName(char16_t *buf, int units) {
  if (auto fake = Fake(&PlatformFakes::localeName)) return fake(buf, units);
  const char *v = LocaleVariable();
  if (!v || !buf || units <= 0) return 0;
  std::string name(v);
  name = name.substr(0, name.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return 0;
  for (char &c : name) {
    if (c == '_') c = '-';
    if (!IsAsciiAlnum(c) && c != '-') return 0;
  }
  if (name.size() + 1 > static_cast<size_t>(units)) return 0;
  for (size_t i = 0; i < name.size(); i++) buf[i] = static_cast<char16_t>(name[i]);
  buf[name.size()] = 0;
  return static_cast<int>(name.size() + 1);
}

int PlatformCommonAppDataFolder(char *out, size_t size) {
  std::string dir;
  const char *xdg = std::getenv("XDG_DATA_HOME");
  const char *home = std::getenv("HOME");
  if (xdg && xdg[0] == '/')
    dir = xdg;
  else if (home && home[0] == '/')
    dir = std::string(home) + "/.local/share";
  else
    return -1;
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  if (!out || dir.size() + 1 > size) return -1;
  std::memcpy(out, dir.c_str(), dir.size() + 1);
  return 0;
}

int PlatformCreateDirectories(const char *path) {
  if (!path || !*path) return ENOENT;
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  std::error_code ec;
  std::filesystem::create_directories(p, ec);
  std::error_code probe;
  if (std::filesystem::is_directory(p, probe)) return 0;
  return ec ? ec.value() : ENOTDIR;
}

int MessageBoxA(void *, const char *text, const char *caption, unsigned type) {
  std::function<int(const char *, const char *, unsigned)> handler;
  {
    std::lock_guard<std::mutex> lk(gLock);
    handler = gBoxHandler;
  }
  if (handler) return handler(text ? text : "", caption ? caption : "", type);
  std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
  return IDOK;
}

bool PlatformMessageBoxIsShown() {
  std::lock_guard<std::mutex> lk(gLock);
  return static_cast<bool>(gBoxHandler);
}

void PlatformSetMessageBoxHandler(std::function<int(const char *text, const char *caption, unsigned type)> handler) {
  std::lock_guard<std::mutex> lk(gLock);
  gBoxHandler = std::move(handler);
}

void PlatformSetFakes(PlatformFakes fakes) {
  std::lock_guard<std::mutex> lk(gLock);
  gFakes = std::move(fakes);
}
