// Registry: file-backed hives with the calling conventions of the Windows registry.
// Every call runs under one process-wide mutex, reads the hive file afresh, and a change
// rewrites the whole file atomically while holding a lock file against other processes.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/ascii.h"
#include "common/fd.h"
#include "common/hex.h"

namespace fs = std::filesystem;

struct RegKeyRec {
  int hive;
  std::string path;  // key path as stored, "" for the hive's root
  unsigned access;
};

namespace {

enum { kClassesRoot, kCurrentUser, kLocalMachine, kHiveCount };
const char *const kHiveNames[kHiveCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};

const char kCryptographyKey[] = "SOFTWARE\\Microsoft\\Cryptography";
const char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kMachineGuid[] = "MachineGuid";

RegKeyRec gRoots[kHiveCount] = {{kClassesRoot, "", KEY_ALL_ACCESS},
                                {kCurrentUser, "", KEY_ALL_ACCESS},
                                {kLocalMachine, "", KEY_ALL_ACCESS}};

std::mutex gLock;  // guards gOpen and orders every hive access of this process
std::unordered_map<RegKeyRec *, std::unique_ptr<RegKeyRec>> gOpen;

struct Value {
  std::string name;
  unsigned long type;
  std::string data;
};

struct Key {
  std::string path;
  std::vector<Value> values;
};

// Keys by folded path; the root "" is always present.
using Hive = std::map<std::string, Key>;

std::string Fold(std::string s) {
  for (char &c : s) c = AsciiToLower(c);
  return s;
}

bool SameName(const std::string &a, const std::string &b) { return a.size() == b.size() && Fold(a) == Fold(b); }

// Checks a relative key path and appends it to base. A single trailing "\" is allowed.
long JoinPath(const std::string &base, const char *sub, std::string *out) {
  std::string s = sub ? sub : "";
  if (!s.empty() && s.back() == '\\') s.pop_back();
  if (s.empty()) {
    *out = base;
    return ERROR_SUCCESS;
  }
  if (s.front() == '\\' || s.back() == '\\' || s.find("\\\\") != std::string::npos) return ERROR_BAD_PATHNAME;
  *out = base.empty() ? s : base + "\\" + s;
  return ERROR_SUCCESS;
}

bool IsUnder(const std::string &folded, const std::string &parentFolded) {
  if (parentFolded.empty()) return !folded.empty();
  return folded.size() > parentFolded.size() && folded.compare(0, parentFolded.size(), parentFolded) == 0 &&
         folded[parentFolded.size()] == '\\';
}

Key &EnsureKey(Hive &h, const std::string &path, bool *created = nullptr) {
  if (created) *created = false;
  size_t pos = 0;
  for (;;) {
    size_t sep = path.find('\\', pos);
    std::string prefix = path.substr(0, sep);
    auto [it, inserted] = h.try_emplace(Fold(prefix), Key{prefix, {}});
    if (inserted && created) *created = true;
    if (sep == std::string::npos) return it->second;
    pos = sep + 1;
  }
}

Key *FindKey(Hive &h, const std::string &path) {
  auto it = h.find(Fold(path));
  return it == h.end() ? nullptr : &it->second;
}

Value *FindValue(Key &k, const std::string &name) {
  for (Value &v : k.values)
    if (SameName(v.name, name)) return &v;
  return nullptr;
}

// --- hive files -------------------------------------------------------------

thread_local int gWriteError = 0;  // errno behind this thread's last ERROR_CANTWRITE

long CantWrite(int err) {
  gWriteError = err ? err : EIO;
  return ERROR_CANTWRITE;
}

std::string RegistryDir() {
  const char *x = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (x && x[0] == '/') {
    base = x;
  } else {
    const char *home = std::getenv("HOME");
    if (!home || home[0] != '/') return "";
    base = std::string(home) + "/.config";
  }
  return base + "/Marolin/registry";
}

std::string Escape(const std::string &s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c == '%' || c < 0x20 || c == 0x7f) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool Unescape(const std::string &s, std::string *out) {
  out->clear();
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    uint8_t hi = i + 1 < s.size() ? HexDigitValue(s[i + 1]) : kNotHexDigit;
    uint8_t lo = i + 2 < s.size() ? HexDigitValue(s[i + 2]) : kNotHexDigit;
    if (hi == kNotHexDigit || lo == kNotHexDigit) return false;
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

std::vector<std::string> SplitTabs(const std::string &line) {
  std::vector<std::string> f;
  size_t pos = 0;
  for (;;) {
    size_t tab = line.find('\t', pos);
    f.push_back(line.substr(pos, tab - pos));
    if (tab == std::string::npos) return f;
    pos = tab + 1;
  }
}

bool ValidKeyPath(const std::string &p) {
  std::string joined;
  return p.empty() || (p.back() != '\\' && JoinPath("", p.c_str(), &joined) == ERROR_SUCCESS);
}

void ParseLine(const std::string &line, Hive &h) {
  if (line.empty() || line[0] == '#') return;
  std::vector<std::string> f = SplitTabs(line);
  std::string path;
  if (f.size() < 2 || !Unescape(f[1], &path) || !ValidKeyPath(path)) return;
  if (f[0] == "K" && f.size() == 2) {
    if (!path.empty()) EnsureKey(h, path);
    return;
  }
  if (f[0] != "V" || f.size() != 5) return;
  std::string name, data;
  char *end = nullptr;
  unsigned long type = std::strtoul(f[3].c_str(), &end, 10);
  if (f[3].empty() || *end || !Unescape(f[2], &name) || !Unescape(f[4], &data)) return;
  Key &k = path.empty() ? h.at("") : EnsureKey(h, path);
  if (Value *v = FindValue(k, name)) {
    v->type = type;
    v->data = data;
  } else {
    k.values.push_back({name, type, data});
  }
}

// Reads the hive as stored. A missing file (or folder) is an empty hive.
long LoadStored(int hive, Hive *h) {
  h->clear();
  h->emplace("", Key{"", {}});
  std::string dir = RegistryDir();
  if (dir.empty()) return ERROR_SUCCESS;
  std::string file = dir + "/" + kHiveNames[hive];
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return (errno == ENOENT || errno == ENOTDIR) ? ERROR_SUCCESS : ERROR_CANTREAD;
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ERROR_CANTREAD;
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  fd.reset();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    ParseLine(text.substr(pos, nl - pos), *h);
    pos = nl + 1;
  }
  return ERROR_SUCCESS;
}

std::string Serialise(const Hive &h) {
  std::string out = "# Marolin registry hive\n";
  for (const auto &[folded, k] : h) {
    if (!k.path.empty()) out += "K\t" + Escape(k.path) + "\n";
    for (const Value &v : k.values)
      out += "V\t" + Escape(k.path) + "\t" + Escape(v.name) + "\t" + std::to_string(v.type) + "\t" + Escape(v.data) + "\n";
  }
  return out;
}

// Replaces the hive file: the new text goes to a temporary file in the same folder,
// which is synced and then renamed over the old one.
long SaveStored(int hive, const Hive &h) {
  std::string dir = RegistryDir();
  if (dir.empty()) return CantWrite(ENOENT);
  std::string file = dir + "/" + kHiveNames[hive];
  std::string tmp = file + ".XXXXXX";
  UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (fd.get() < 0) return CantWrite(errno);
  std::string text = Serialise(h);
  errno = 0;
  bool ok = WriteAll(fd.get(), text.data(), text.size()) && ::fsync(fd.get()) == 0;
  ok = fd.reset() == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return CantWrite(err);
  }
  UniqueFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd.get() >= 0) ::fsync(dfd.get());
  return ERROR_SUCCESS;
}

// Holds the hive's lock file for a read-modify-write, against other processes.
class HiveWriteLock {
 public:
  explicit HiveWriteLock(int hive) {
    std::string dir = RegistryDir();
    std::error_code ec;
    if (dir.empty()) {
      CantWrite(ENOENT);
      return;
    }
    fs::create_directories(dir, ec);
    if (ec) {
      CantWrite(ec.value());
      return;
    }
    fd_.reset(::open((dir + "/" + kHiveNames[hive] + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (fd_.get() < 0) CantWrite(errno);
    while (fd_.get() >= 0 && ::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) {
        CantWrite(errno);
        fd_.reset();
      }
    }
  }
  bool ok() const { return fd_.get() >= 0; }

 private:
  UniqueFd fd_;
};

// --- keys the system supplies -----------------------------------------------

// Short lines only (ids, numbers). Close-on-exec like every descriptor of the program.
bool ReadFirstLine(const char *path, std::string *line) {
  FILE *f = std::fopen(path, "re");
  if (!f) return false;
  char buf[256];
  const bool ok = std::fgets(buf, sizeof buf, f) != nullptr;
  std::fclose(f);
  if (!ok) return false;
  *line = buf;
  if (!line->empty() && line->back() == '\n') line->pop_back();
  return true;
}

bool MachineGuidFromSystem(std::string *guid) {
  for (const char *path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::string id;
    if (!ReadFirstLine(path, &id)) continue;
    while (!id.empty() && (id.back() == ' ' || id.back() == '\r' || id.back() == '\t')) id.pop_back();
    if (id.size() != 32 || !std::all_of(id.begin(), id.end(), [](char c) { return HexDigitValue(c) != kNotHexDigit; })) continue;
    id = Fold(id);
    *guid = id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" + id.substr(16, 4) + "-" + id.substr(20);
    return true;
  }
  return false;
}

// Serial devices present: ttys with a device link, without the UART slots in which no
// port was detected (type 0). Sorted by port name.
std::vector<Value> SerialDevices() {
  std::vector<Value> out;
  std::error_code ec;
  for (fs::directory_iterator it("/sys/class/tty", ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path tty = it->path();
    std::error_code e2;
    if (!fs::exists(tty / "device", e2)) continue;
    std::string type;
    if (ReadFirstLine((tty / "type").c_str(), &type) && type == "0") continue;
    std::string name = fs::canonical(tty, e2).string();
    if (e2) continue;
    if (name.compare(0, 5, "/sys/") == 0) name.erase(0, 4);
    out.push_back({name, REG_SZ, tty.filename().string() + '\0'});
  }
  std::sort(out.begin(), out.end(), [](const Value &a, const Value &b) { return a.data < b.data; });
  return out;
}

void AddSystemKeys(Hive &h) {
  Key *crypt = FindKey(h, kCryptographyKey);
  std::string guid;
  if ((!crypt || !FindValue(*crypt, kMachineGuid)) && MachineGuidFromSystem(&guid))
    EnsureKey(h, kCryptographyKey).values.push_back({kMachineGuid, REG_SZ, guid + '\0'});

  std::vector<Value> ports = SerialDevices();
  // The device map always exists, empty on a machine without serial ports, so that
  // readers of the port list (and the playback started with them) find it.
  Key &k = EnsureKey(h, kSerialCommKey);
  for (Value &v : k.values) {
    auto same = std::find_if(ports.begin(), ports.end(), [&](const Value &p) { return SameName(p.name, v.name); });
    if (same != ports.end())
      *same = std::move(v);
    else
      ports.push_back(std::move(v));
  }
  k.values = std::move(ports);
}

// The hive as the calls see it: what is stored, plus what the system supplies.
long LoadView(int hive, Hive *h) {
  long rc = LoadStored(hive, h);
  if (rc == ERROR_SUCCESS && hive == kLocalMachine) AddSystemKeys(*h);
  return rc;
}

// --- handles ----------------------------------------------------------------

RegKeyRec *Resolve(HKEY key) {
  for (RegKeyRec &r : gRoots)
    if (key == &r) return key;
  auto it = gOpen.find(key);
  return it == gOpen.end() ? nullptr : it->second.get();
}

HKEY NewHandle(int hive, const std::string &path, unsigned access) {
  auto rec = std::make_unique<RegKeyRec>(RegKeyRec{hive, path, access});
  HKEY h = rec.get();
  gOpen.emplace(h, std::move(rec));
  return h;
}

// Looks up the key of an open handle in a freshly loaded view.
long ViewKey(const RegKeyRec *rec, Hive *view, Key **key) {
  long rc = LoadView(rec->hive, view);
  if (rc != ERROR_SUCCESS) return rc;
  *key = FindKey(*view, rec->path);
  return *key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

// Copies data into a caller's buffer under the rules of RegQueryValueExA.
long CopyData(const Value &v, unsigned char *data, unsigned long *size) {
  unsigned long n = static_cast<unsigned long>(v.data.size());
  if (data) {
    if (*size < n) {
      *size = n;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, v.data.data(), n);
    bool text = v.type == REG_SZ || v.type == REG_EXPAND_SZ;
    if (text && (n == 0 || v.data.back() != '\0') && *size > n) data[n] = 0;
  }
  if (size) *size = n;
  return ERROR_SUCCESS;
}

// Runs change on the stored hive under the lock file, then saves it. The key of rec
// must exist in the view; a key that only the system supplies is added to the store.
template <class Change>
long Modify(const RegKeyRec *rec, Change change) {
  HiveWriteLock lock(rec->hive);
  if (!lock.ok()) return ERROR_CANTWRITE;
  Hive stored, view;
  long rc = LoadStored(rec->hive, &stored);
  if (rc == ERROR_SUCCESS) rc = LoadView(rec->hive, &view);
  if (rc != ERROR_SUCCESS) return rc;
  if (!FindKey(view, rec->path)) return ERROR_KEY_DELETED;
  bool dirty = false;
  rc = change(stored, view, &dirty);
  if (rc == ERROR_SUCCESS && dirty) rc = SaveStored(rec->hive, stored);
  return rc;
}

// The key a handle names, the full path of subKey below it, and the hive as the calls
// see it. The caller holds gLock.
long ViewSubKey(HKEY key, const char *subKey, RegKeyRec **rec, std::string *path, Hive *view) {
  *rec = Resolve(key);
  if (!*rec) return ERROR_INVALID_HANDLE;
  long rc = JoinPath((*rec)->path, subKey, path);
  Key *base = nullptr;
  if (rc == ERROR_SUCCESS) rc = ViewKey(*rec, view, &base);
  return rc;
}

}  // namespace

std::string RegistryFolder() { return RegistryDir(); }

int RegLastWriteError() { return gWriteError; }

const HKEY HKEY_CLASSES_ROOT = &gRoots[kClassesRoot];
const HKEY HKEY_CURRENT_USER = &gRoots[kCurrentUser];
const HKEY HKEY_LOCAL_MACHINE = &gRoots[kLocalMachine];

long RegOpenKeyExA(HKEY key, const char *subKey, unsigned, unsigned access, HKEY *out) {
  if (!out) return ERROR_INVALID_PARAMETER;
  *out = nullptr;
  std::lock_guard<std::mutex> lk(gLock);
  RegKeyRec *rec = nullptr;
  std::string path;
  Hive view;
  long rc = ViewSubKey(key, subKey, &rec, &path, &view);
  if (rc != ERROR_SUCCESS) return rc;
  Key *k = FindKey(view, path);
  if (!k) return ERROR_FILE_NOT_FOUND;
  *out = NewHandle(rec->hive, k->path, access);
  return ERROR_SUCCESS;
}

long RegCreateKeyExA(HKEY key, const char *subKey, unsigned, char *, unsigned, unsigned access, void *, HKEY *out,
                     unsigned long *disposition) {
  if (!out) return ERROR_INVALID_PARAMETER;
  *out = nullptr;
  std::lock_guard<std::mutex> lk(gLock);
  RegKeyRec *rec = nullptr;
  std::string path;
  Hive view;
  long rc = ViewSubKey(key, subKey, &rec, &path, &view);
  if (rc != ERROR_SUCCESS) return rc;
  if (Key *k = FindKey(view, path)) {
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    *out = NewHandle(rec->hive, k->path, access);
    return ERROR_SUCCESS;
  }
  if (!(rec->access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  std::string stored_path;
  rc = Modify(rec, [&](Hive &stored, Hive &, bool *dirty) {
    bool created = false;
    stored_path = EnsureKey(stored, path, &created).path;
    *dirty = created;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  if (disposition) *disposition = REG_CREATED_NEW_KEY;
  *out = NewHandle(rec->hive, stored_path, access);
  return ERROR_SUCCESS;
}

long RegQueryValueExA(HKEY key, const char *name, unsigned long *, unsigned long *type, unsigned char *data,
                      unsigned long *size) {
  if (data && !size) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lk(gLock);
  RegKeyRec *rec = Resolve(key);
  if (!rec) return ERROR_INVALID_HANDLE;
  if (!(rec->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Hive view;
  Key *k = nullptr;
  long rc = ViewKey(rec, &view, &k);
  if (rc != ERROR_SUCCESS) return rc;
  const Value *v = FindValue(*k, name ? name : "");
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  return CopyData(*v, data, size);
}

long RegSetValueExA(HKEY key, const char *name, unsigned long, unsigned long type, const unsigned char *data,
                    unsigned long size) {
  if (!data && size > 0) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lk(gLock);
  RegKeyRec *rec = Resolve(key);
  if (!rec) return ERROR_INVALID_HANDLE;
  if (!(rec->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string n = name ? name : "";
  const std::string bytes = data ? std::string(reinterpret_cast<const char *>(data), size) : std::string();
  return Modify(rec, [&](Hive &stored, Hive &, bool *dirty) {
    Key &k = rec->path.empty() ? stored.at("") : EnsureKey(stored, rec->path);
    if (Value *v = FindValue(k, n)) {
      v->type = type;
      v->data = bytes;
    } else {
      k.values.push_back({n, type, bytes});
    }
    *dirty = true;
    return ERROR_SUCCESS;
  });
}

long RegQueryInfoKeyA(HKEY key, char *cls, unsigned long *clsLen, unsigned long *, unsigned long *subKeys,
                      unsigned long *maxSubKeyLen, unsigned long *maxClassLen, unsigned long *values,
                      unsigned long *maxValueNameLen, unsigned long *maxValueLen, unsigned long *securityDescriptor,
                      unsigned long long *lastWriteTime) {
  std::lock_guard<std::mutex> lk(gLock);
  RegKeyRec *rec = Resolve(key);
  if (!rec) return ERROR_INVALID_HANDLE;
  if (!(rec->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Hive view;
  Key *k = nullptr;
  long rc = ViewKey(rec, &view, &k);
  if (rc != ERROR_SUCCESS) return rc;
  unsigned long nSub = 0, longestSub = 0, longestName = 0, longestData = 0;
  const std::string folded = Fold(rec->path);
  for (const auto &[f, sub] : view) {
    if (!IsUnder(f, folded)) continue;
    std::string rest = folded.empty() ? f : f.substr(folded.size() + 1);
    if (rest.find('\\') != std::string::npos) continue;
    nSub++;
    longestSub = std::max<unsigned long>(longestSub, rest.size());
  }
  for (const Value &v : k->values) {
    longestName = std::max<unsigned long>(longestName, v.name.size());
    longestData = std::max<unsigned long>(longestData, v.data.size());
  }
  if (cls && clsLen && *clsLen > 0) cls[0] = 0;
  if (clsLen) *clsLen = 0;
  if (subKeys) *subKeys = nSub;
  if (maxSubKeyLen) *maxSubKeyLen = longestSub;
  if (maxClassLen) *maxClassLen = 0;
  if (values) *values = static_cast<unsigned long>(k->values.size());
  if (maxValueNameLen) *maxValueNameLen = longestName;
  if (maxValueLen) *maxValueLen = longestData;
  if (securityDescriptor) *securityDescriptor = 0;
  if (lastWriteTime) *lastWriteTime = 0;
  return ERROR_SUCCESS;
}

long RegEnumValueA(HKEY key, unsigned long index, char *name, unsigned long *nameLen, unsigned long *,
                   unsigned long *type, unsigned char *data, unsigned long *dataLen) {
  if (!name || !nameLen || (data && !dataLen)) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lk(gLock);
  RegKeyRec *rec = Resolve(key);
  if (!rec) return ERROR_INVALID_HANDLE;
  if (!(rec->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Hive view;
  Key *k = nullptr;
  long rc = ViewKey(rec, &view, &k);
  if (rc != ERROR_SUCCESS) return rc;
  if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
  const Value &v = k->values[index];
  if (*nameLen < v.name.size() + 1) return ERROR_MORE_DATA;
  if (data && *dataLen < v.data.size()) {
    *dataLen = static_cast<unsigned long>(v.data.size());
    return ERROR_MORE_DATA;
  }
  std::memcpy(name, v.name.c_str(), v.name.size() + 1);
  *nameLen = static_cast<unsigned long>(v.name.size());
  if (type) *type = v.type;
  return CopyData(v, data, dataLen);
}

long RegDeleteValueA(HKEY key, const char *name) {
  std::lock_guard<std::mutex> lk(gLock);
  RegKeyRec *rec = Resolve(key);
  if (!rec) return ERROR_INVALID_HANDLE;
  if (!(rec->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string n = name ? name : "";
  return Modify(rec, [&](Hive &stored, Hive &, bool *dirty) {
    Key *k = FindKey(stored, rec->path);
    if (!k) return ERROR_FILE_NOT_FOUND;
    auto it = std::find_if(k->values.begin(), k->values.end(), [&](const Value &v) { return SameName(v.name, n); });
    if (it == k->values.end()) return ERROR_FILE_NOT_FOUND;
    k->values.erase(it);
    *dirty = true;
    return ERROR_SUCCESS;
  });
}

long RegDeleteTreeA(HKEY key, const char *subKey) {
  std::lock_guard<std::mutex> lk(gLock);
  RegKeyRec *rec = Resolve(key);
  if (!rec) return ERROR_INVALID_HANDLE;
  std::string path;
  long rc = JoinPath(rec->path, subKey, &path);
  if (rc != ERROR_SUCCESS) return rc;
  const bool keepKey = path == rec->path;
  return Modify(rec, [&](Hive &stored, Hive &view, bool *dirty) {
    if (!FindKey(view, path)) return ERROR_FILE_NOT_FOUND;
    const std::string folded = Fold(path);
    for (auto it = stored.begin(); it != stored.end();) {
      if (IsUnder(it->first, folded) || (!keepKey && it->first == folded)) {
        it = stored.erase(it);
        *dirty = true;
      } else {
        ++it;
      }
    }
    if (keepKey) {
      if (Key *k = FindKey(stored, path); k && !k->values.empty()) {
        k->values.clear();
        *dirty = true;
      }
    }
    return ERROR_SUCCESS;
  });
}

long RegCloseKey(HKEY key) {
  std::lock_guard<std::mutex> lk(gLock);
  for (RegKeyRec &r : gRoots)
    if (key == &r) return ERROR_SUCCESS;
  return gOpen.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
