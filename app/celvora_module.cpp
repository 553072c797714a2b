// Registration in HKEY_CLASSES_ROOT: the AppID keys and the type library.
//   AppID\{appid}               (default) = "Celvora"
//   AppID\Celvora.EXE           AppID     = "{appid}"
//   TypeLib\{libid}\1.0         (default) = "Celvora 1.0 Type Library"
//   TypeLib\{libid}\1.0\409\win32 (default) = the program file
//   TypeLib\{libid}\1.0\FLAGS   (default) = "0"
//   TypeLib\{libid}\1.0\HELPDIR (default) = the program's folder
#include "app/celvora_module.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app_texts.h"
#include "platform/registry.h"

namespace {

// The type library as the program file carries it: its name, help text, version and
// locale. The name is part of the library, not of its registry entry.
struct TypeLibInfo {
  const char *name;
  const char *help;
  int major, minor;
  unsigned lcid;
  const char *libid;
};
constexpr TypeLibInfo kTypeLib = {kTypeLibName, kTypeLibHelp, kTypeLibMajor, kTypeLibMinor, kTypeLibLcid, kTypeLibGuid};

HRESULT FromRegistry(long rc) { return rc == ERROR_SUCCESS ? S_OK : E_FAIL; }

// Creates subKey below HKEY_CLASSES_ROOT and stores one REG_SZ value there.
long SetString(const std::string &subKey, const char *valueName, const std::string &text) {
  HKEY key = nullptr;
  long rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                            nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const unsigned char *>(text.c_str()),
                      static_cast<unsigned long>(text.size() + 1));
  RegCloseKey(key);
  return rc;
}

std::string ProgramFile() {
  char exe[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  return n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
}

std::string TypeLibVersionKey() {
  char version[32];
  std::snprintf(version, sizeof version, "%d.%d", kTypeLib.major, kTypeLib.minor);
  return std::string(kTypeLibKey) + "\\" + kTypeLib.libid + "\\" + version;
}

}  // namespace

CCelvoraModule theModule;

HRESULT CCelvoraModule::UpdateRegistryAppId(bool bRegister) {
  const std::string appIdKey = std::string(kAppIdKey) + "\\" + kAppIdGuid;
  const std::string exeKey = std::string(kAppIdKey) + "\\" + kAppIdExeKey;
  if (bRegister) {
    long rc = SetString(appIdKey, nullptr, kAppIdName);
    if (rc == ERROR_SUCCESS) rc = SetString(exeKey, kAppIdValueName, kAppIdGuid);
    return FromRegistry(rc);
  }
  const long rc1 = RegDeleteTreeA(HKEY_CLASSES_ROOT, appIdKey.c_str());
  const long rc2 = RegDeleteTreeA(HKEY_CLASSES_ROOT, exeKey.c_str());
  const bool ok = (rc1 == ERROR_SUCCESS || rc1 == ERROR_FILE_NOT_FOUND) &&
                  (rc2 == ERROR_SUCCESS || rc2 == ERROR_FILE_NOT_FOUND);
  return ok ? S_OK : E_FAIL;
}

HRESULT CCelvoraModule::RegisterServer() {
  if (RegisterClassObjects() < 0) return E_FAIL;  // the empty class table
  return RegisterTypeLib();
}

HRESULT CCelvoraModule::UnregisterServer() { return UnregisterTypeLib(); }

HRESULT CCelvoraModule::RegisterTypeLib() {
  const std::string base = TypeLibVersionKey();
  const std::string file = ProgramFile();
  const std::string folder = file.substr(0, file.find_last_of('/') + 1);
  char lcid[16];
  std::snprintf(lcid, sizeof lcid, "%x", kTypeLib.lcid);
  long rc = SetString(base, nullptr, kTypeLib.help);
  if (rc == ERROR_SUCCESS) rc = SetString(base + "\\" + lcid + "\\win32", nullptr, file);
  if (rc == ERROR_SUCCESS) rc = SetString(base + "\\FLAGS", nullptr, "0");
  if (rc == ERROR_SUCCESS) rc = SetString(base + "\\HELPDIR", nullptr, folder);
  return FromRegistry(rc);
}

HRESULT CCelvoraModule::UnregisterTypeLib() {
  long rc = RegDeleteTreeA(HKEY_CLASSES_ROOT, TypeLibVersionKey().c_str());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return E_FAIL;
  // The library's own key goes with its last version.
  const std::string libKey = std::string(kTypeLibKey) + "\\" + kTypeLib.libid;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, libKey.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
    unsigned long subKeys = 0, values = 0;
    rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                          nullptr, nullptr);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS && subKeys == 0 && values == 0) RegDeleteTreeA(HKEY_CLASSES_ROOT, libKey.c_str());
  }
  return S_OK;
}
