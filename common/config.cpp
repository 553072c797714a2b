// Start-up configuration: fills HostConfig once before any other thread exists, and
// stores the page's settings back to the per-user registry key.
#include "common/config.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/failure_report.h"
#include "common/host_config.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

const char kSettingsKey[] = "Software\\Brevant\\Marolin";
const char kCryptographyKey[] = "Software\\Microsoft\\Cryptography";
const char kDataFolderName[] = "/Marolin/";

// Zeroes every field; the handles are dropped and the mutexes stay as they are.
void ClearHostConfig() {
  HostConfigRec &c = HostConfig;
  c.ServerPort = 0;
  std::memset(c.ServerAddress, 0, sizeof c.ServerAddress);
  c.ServerRunning = 0;
  std::memset(c.TripFolder, 0, sizeof c.TripFolder);
  std::memset(c.PackageFolder, 0, sizeof c.PackageFolder);
  std::memset(c.WebRoot, 0, sizeof c.WebRoot);
  std::memset(c.DeviceId, 0, sizeof c.DeviceId);
  c.TripDb.close();
  c.ChartDb.close();
  c.AppDb.close();
  c.DbMutex = nullptr;
  {
    std::lock_guard<std::mutex> lk(c.SettingsLock);
    std::memset(c.alang, 0, sizeof c.alang);
    std::memset(c.mlang, 0, sizeof c.mlang);
    std::memset(c.skin, 0, sizeof c.skin);
  }
  c.DownloadState.bytes = 0;
  c.DownloadState.state = 0;
  c.DownloadState.error = 0;
  c.DownloadState.id = 0;
  std::memset(c.DownloadState.request, 0, sizeof c.DownloadState.request);
  std::memset(c.LocaleName, 0, sizeof c.LocaleName);
  {
    std::lock_guard<std::mutex> lk(c.HostStateLock);
    c.HostStateBody.reset();
    c.HostStateCapacity = 0;
  }
}

void SetSetting(char *field, size_t size, const char *text) {
  std::lock_guard<std::mutex> lk(HostConfig.SettingsLock);
  std::memset(field, 0, size);
  std::memcpy(field, text, std::strlen(text) + 1);
}

// Reads the REG_SZ value name of the settings key, at most size bytes, into field.
// A value that does not fit with its terminating zero leaves the field as it is.
void ReadSetting(const char *name, char *field, unsigned long size) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  char buf[32] = {};
  unsigned long len = size;
  unsigned long type = REG_NONE;
  long rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<unsigned char *>(buf), &len);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ || std::memchr(buf, 0, size) == nullptr) return;
  SetSetting(field, size, buf);
}

// The setting stays in memory for this run only.
void ReportSettingFailure(const char *name, long rc) {
  const std::string what = std::string("cannot store the setting ") + name + " in " + RegistryFolder();
  const int err = rc == ERROR_CANTWRITE ? RegLastWriteError() : 0;
  ReportFailure(what, err ? ErrorText(err) : "registry error " + std::to_string(rc));
}

}  // namespace

// One descriptor per connection: the soft limit goes up to the hard one, so that many
// slow clients cannot use up the usual 1024 before the connection cap steps in.
static void RaiseDescriptorLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= rl.rlim_max) return;
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
}

int InitConfig() {
  ClearHostConfig();
  RaiseDescriptorLimit();

  int err = PlatformSocketStartup();
  if (err != 0) {
    std::printf("WSAStartup failed: %d\n", err);
    std::fflush(stdout);
    return 1;
  }

  unsigned long version = PlatformGetVersion();
  int major = static_cast<int>(version & 0xFF);
  int minor = static_cast<int>((version >> 8) & 0xFF);
  int build = (version & 0x80000000UL) ? 0 : static_cast<int>((version >> 16) & 0xFFFF);

  char guid[100] = {};
  ReadMachineGuid(guid);
  char host[100] = {};
  PlatformGetHostName(host, 99);
  std::snprintf(HostConfig.DeviceId, sizeof HostConfig.DeviceId, "W|%s|%d.%d.%d|%s|", guid, major, minor, build,
                host);

  // The first five characters of the locale name, low byte of each unit; a failed
  // query leaves the zeroed buffer, so LocaleName stays empty.
  char16_t locale[256] = {};
  PlatformGetUserDefaultLocaleName(locale, 256);
  for (int i = 0; i < 5; i++) {
    HostConfig.LocaleName[i] = static_cast<char>(locale[i] & 0xFF);
    if (locale[i] == 0) break;
  }

  SetSetting(HostConfig.alang, sizeof HostConfig.alang, "en");
  ReadSetting("alang", HostConfig.alang, sizeof HostConfig.alang);
  SetSetting(HostConfig.skin, sizeof HostConfig.skin, "Navy Blue");
  ReadSetting("skin", HostConfig.skin, sizeof HostConfig.skin);
  SetSetting(HostConfig.mlang, sizeof HostConfig.mlang, "de");

  // The data folder for each of the three fields in turn. A path that does not fit
  // the field counts as a failed lookup rather than a cut-off folder.
  char *folders[] = {HostConfig.WebRoot, HostConfig.PackageFolder, HostConfig.TripFolder};
  for (int i = 0; i < 3; i++) {
    const int failure = i < 2 ? 2 : 3;
    char base[sizeof HostConfig.WebRoot];
    if (PlatformCommonAppDataFolder(base, sizeof base) != 0) {
      ReportFailure("cannot find the data folder",
                    "neither XDG_DATA_HOME nor HOME is an absolute path of a usable length");
      return failure;
    }
    char path[sizeof HostConfig.WebRoot];
    int n = std::snprintf(path, sizeof path, "%s%s", base, kDataFolderName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
      ReportFailure("cannot use the data folder " + std::string(base) + kDataFolderName, ENAMETOOLONG);
      return failure;
    }
    std::memcpy(folders[i], path, static_cast<size_t>(n) + 1);
    const int created = PlatformCreateDirectories(folders[i]);
    // Start-up goes on either way; the files in it fail where they are opened.
    if (i > 0) continue;
    if (created != 0)
      ReportFailure("cannot create the data folder " + std::string(path), created);
    else if (faccessat(AT_FDCWD, path, W_OK | X_OK, AT_EACCESS) != 0)
      ReportFailure("cannot write in the data folder " + std::string(path), errno);
  }

  std::snprintf(HostConfig.ServerAddress, sizeof HostConfig.ServerAddress, "%s", "127.0.0.2");
  HostConfig.ServerPort = 9999;
  return 0;
}

long RegWriteSetting(const char *name, const char *text) {
  HKEY key = nullptr;
  long rc = RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) {
    // Without the window the box itself is a line on standard error.
    if (PlatformMessageBoxIsShown()) ReportSettingFailure(name, rc);
    MessageBoxA(nullptr, "Registry error", "Marolindll", MB_OK | MB_ICONWARNING);
    return rc;
  }
  rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const unsigned char *>(text), std::strlen(text) + 1);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) ReportSettingFailure(name, rc);
  return rc;
}

long ReadMachineGuid(char *buf) {
  HKEY key = nullptr;
  long rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCryptographyKey, 0, KEY_READ | KEY_WOW64_64KEY, &key);
  if (rc != ERROR_SUCCESS) rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCryptographyKey, 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return rc;
  unsigned long size = 99;
  rc = RegQueryValueExA(key, "MachineGuid", nullptr, nullptr, reinterpret_cast<unsigned char *>(buf), &size);
  RegCloseKey(key);
  return rc;
}
