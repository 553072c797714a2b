// The registry: values survive in the hive file, calls follow the Windows buffer and
// result rules, changes are atomic, and the machine keys come from the system.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/registry_values.h"
#include "tests/support/testing.h"

namespace fs = std::filesystem;
using testing_support::kSettingsKey;
using testing_support::ReadFile;
using testing_support::StoreText;
using testing_support::StoreValue;
using testing_support::TestEnv;
using testing_support::WriteFile;

namespace {

struct Reg {
  HKEY h = nullptr;
  Reg() = default;
  Reg(const Reg &) = delete;
  ~Reg() {
    if (h) RegCloseKey(h);
  }
};

class RegistryTest : public ::testing::Test {
 protected:
  std::string hiveFile(const char *name) const { return env.root() + "/config/Marolin/registry/" + name; }
  std::string registryDir() const { return env.root() + "/config/Marolin/registry"; }

  // The value's stored bytes, read with a buffer of exactly the reported size.
  long get(HKEY root, const char *path, const char *name, std::string *out, unsigned long *type = nullptr) {
    Reg k;
    long rc = RegOpenKeyExA(root, path, 0, KEY_READ, &k.h);
    if (rc != ERROR_SUCCESS) return rc;
    unsigned long size = 0;
    rc = RegQueryValueExA(k.h, name, nullptr, type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<unsigned char> buf(size + 1);
    rc = RegQueryValueExA(k.h, name, nullptr, type, buf.data(), &size);
    out->assign(reinterpret_cast<char *>(buf.data()), size);
    return rc;
  }
  std::vector<std::pair<std::string, std::string>> values(HKEY root, const char *path) {
    std::vector<std::pair<std::string, std::string>> out;
    Reg k;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &k.h) != ERROR_SUCCESS) return out;
    for (unsigned long i = 0;; i++) {
      char name[1024];
      unsigned char data[1024];
      unsigned long nameLen = sizeof name, dataLen = sizeof data;
      if (RegEnumValueA(k.h, i, name, &nameLen, nullptr, nullptr, data, &dataLen) != ERROR_SUCCESS) break;
      out.emplace_back(name, std::string(reinterpret_cast<char *>(data), dataLen));
    }
    return out;
  }

  TestEnv env;
};

TEST_F(RegistryTest, ValuesRoundTripThroughTheHiveFile) {
  std::string all;
  for (int c = 0; c < 256; c++) all += static_cast<char>(c);
  struct Case {
    const char *name;
    std::string data;
    unsigned long type;
  } cases[] = {
      {"alang", std::string("de\0", 3), REG_SZ},
      {"", std::string("default value\0", 14), REG_SZ},
      {"skin", std::string("Night\tRed\r\n%41 \\ \"\0", 20), REG_SZ},
      {"name with\ttab\nand newline %", std::string("x\0", 2), REG_SZ},
      {"every byte", all, REG_BINARY},
      {"empty", std::string(), REG_SZ},
      {"dword", std::string("\x2a\0\0\0", 4), REG_DWORD},
  };
  for (const Case &c : cases)
    ASSERT_EQ(StoreValue(HKEY_CURRENT_USER, kSettingsKey, c.name, c.data, c.type), ERROR_SUCCESS) << c.name;

  // Each value is one line: nothing inside a field can break the file apart.
  std::string file = ReadFile(hiveFile("HKEY_CURRENT_USER"));
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 1 + 3 + 7) << file;

  for (const Case &c : cases) {
    std::string got;
    unsigned long type = 0;
    ASSERT_EQ(get(HKEY_CURRENT_USER, kSettingsKey, c.name, &got, &type), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(got, c.data) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
  }
  // Other hives are separate files.
  std::string got;
  EXPECT_EQ(get(HKEY_CLASSES_ROOT, kSettingsKey, "alang", &got), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(hiveFile("HKEY_CLASSES_ROOT")));
}

TEST_F(RegistryTest, QueryFollowsTheBufferRules) {
  ASSERT_EQ(StoreText(HKEY_CURRENT_USER, kSettingsKey, "skin", "Navy"), ERROR_SUCCESS);
  ASSERT_EQ(StoreValue(HKEY_CURRENT_USER, kSettingsKey, "bare", "abc"), ERROR_SUCCESS);  // REG_SZ without its NUL
  Reg k;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &k.h), ERROR_SUCCESS);

  struct Case {
    const char *name;
    unsigned long bufSize;
    long rc;
    unsigned long sizeOut;
    std::string bytes;  // the buffer afterwards (buffers start filled with '#')
  } cases[] = {
      {"skin", 5, ERROR_SUCCESS, 5, std::string("Navy\0###", 8)},
      {"skin", 8, ERROR_SUCCESS, 5, std::string("Navy\0###", 8)},
      {"skin", 4, ERROR_MORE_DATA, 5, "########"},
      {"skin", 0, ERROR_MORE_DATA, 5, "########"},
      {"SKIN", 5, ERROR_SUCCESS, 5, std::string("Navy\0###", 8)},
      {"bare", 4, ERROR_SUCCESS, 3, std::string("abc\0####", 8)},  // terminated when there is room
      {"bare", 3, ERROR_SUCCESS, 3, "abc#####"},
      {"missing", 8, ERROR_FILE_NOT_FOUND, 8, "########"},
  };
  for (const Case &c : cases) {
    unsigned char buf[8];
    std::memset(buf, '#', sizeof buf);
    unsigned long size = c.bufSize;
    unsigned long type = 99;
    EXPECT_EQ(RegQueryValueExA(k.h, c.name, nullptr, &type, buf, &size), c.rc) << c.name << " " << c.bufSize;
    EXPECT_EQ(size, c.sizeOut) << c.name << " " << c.bufSize;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 8), c.bytes) << c.name << " " << c.bufSize;
  }
  unsigned long size = 0;
  EXPECT_EQ(RegQueryValueExA(k.h, "skin", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  unsigned char buf[8];
  EXPECT_EQ(RegQueryValueExA(k.h, "skin", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCase) {
  Reg a, b;
  unsigned long disp = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &a.h, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\brevant\\MAROLIN", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &b.h, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);

  ASSERT_EQ(StoreText(HKEY_CURRENT_USER, kSettingsKey, "alang", "de"), ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_CURRENT_USER, "software\\BREVANT\\marolin", "ALANG", "fr"), ERROR_SUCCESS);
  auto vals = values(HKEY_CURRENT_USER, "Software\\Brevant\\MaRoLiN");
  ASSERT_EQ(vals.size(), 1u);  // replaced, not added; the first spelling of the name stays
  EXPECT_EQ(vals[0].first, "alang");
  EXPECT_EQ(vals[0].second, std::string("fr\0", 3));

  // The key keeps the spelling it was created with.
  EXPECT_NE(ReadFile(hiveFile("HKEY_CURRENT_USER")).find("K\tSoftware\\Brevant\\Marolin\n"), std::string::npos);
}

TEST_F(RegistryTest, PathsAndHandlesAreChecked) {
  ASSERT_EQ(StoreText(HKEY_CURRENT_USER, kSettingsKey, "alang", "de"), ERROR_SUCCESS);
  struct Case {
    const char *path;
    long rc;
  } cases[] = {
      {"Software\\Brevant\\Marolin", ERROR_SUCCESS},
      {"Software\\Brevant\\Marolin\\", ERROR_SUCCESS},
      {"Software\\Brevant", ERROR_SUCCESS},  // parents exist
      {"\\Software\\Brevant", ERROR_BAD_PATHNAME},
      {"Software\\\\Brevant", ERROR_BAD_PATHNAME},
      {"Software\\Brevant\\Other", ERROR_FILE_NOT_FOUND},
      {"Software\\Brev", ERROR_FILE_NOT_FOUND},
  };
  for (const Case &c : cases) {
    Reg k;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, c.path, 0, KEY_READ, &k.h), c.rc) << c.path;
    EXPECT_EQ(k.h != nullptr, c.rc == ERROR_SUCCESS) << c.path;
  }

  // The access a handle was opened with.
  Reg readOnly, writeOnly;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &readOnly.h), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(readOnly.h, "Brevant\\Marolin", 0, KEY_SET_VALUE, &writeOnly.h), ERROR_SUCCESS);
  const unsigned char x[] = "x";
  EXPECT_EQ(RegSetValueExA(readOnly.h, "alang", 0, REG_SZ, x, 2), ERROR_ACCESS_DENIED);
  unsigned long size = 0;
  EXPECT_EQ(RegQueryValueExA(writeOnly.h, "alang", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);

  // Closed and foreign handles.
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(h, "alang", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  int notAKey = 0;
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(&notAKey), "x", 0, KEY_READ, &h), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);  // predefined keys stay usable
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
}

TEST_F(RegistryTest, EnumerationAndKeyInfo) {
  const char *path = "HARDWARE\\Test";
  ASSERT_EQ(StoreText(HKEY_CURRENT_USER, path, "first", "1"), ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_CURRENT_USER, path, "a much longer name", "22"), ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_CURRENT_USER, path, "third", "a longer text value"), ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_CURRENT_USER, "HARDWARE\\Test\\Sub1\\Deeper", "x", "y"), ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_CURRENT_USER, "HARDWARE\\Test\\Sub22", "x", "y"), ERROR_SUCCESS);

  Reg k;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &k.h), ERROR_SUCCESS);
  unsigned long subKeys = 9, maxSub = 9, nValues = 9, maxName = 9, maxData = 9;
  ASSERT_EQ(RegQueryInfoKeyA(k.h, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &nValues, &maxName,
                             &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 2u);
  EXPECT_EQ(maxSub, 5u);
  EXPECT_EQ(nValues, 3u);
  EXPECT_EQ(maxName, 18u);
  EXPECT_EQ(maxData, 20u);

  auto vals = values(HKEY_CURRENT_USER, path);  // in the order they were added
  ASSERT_EQ(vals.size(), 3u);
  EXPECT_EQ(vals[0].first, "first");
  EXPECT_EQ(vals[1].first, "a much longer name");
  EXPECT_EQ(vals[2].second, std::string("a longer text value\0", 20));

  struct Case {
    unsigned long index, nameLen, dataLen;
    long rc;
    unsigned long nameOut, dataOut;
  } cases[] = {
      {1, 19, 3, ERROR_SUCCESS, 18, 3},
      {1, 18, 3, ERROR_MORE_DATA, 18, 3},  // no room for the NUL of the name
      {2, 6, 19, ERROR_MORE_DATA, 6, 20},  // data too small: the needed size comes back
      {3, 64, 64, ERROR_NO_MORE_ITEMS, 64, 64},
  };
  for (const Case &c : cases) {
    char name[64];
    unsigned char data[64];
    unsigned long nameLen = c.nameLen, dataLen = c.dataLen;
    EXPECT_EQ(RegEnumValueA(k.h, c.index, name, &nameLen, nullptr, nullptr, data, &dataLen), c.rc) << c.index;
    EXPECT_EQ(nameLen, c.nameOut) << c.index;
    EXPECT_EQ(dataLen, c.dataOut) << c.index;
  }
}

TEST_F(RegistryTest, DeleteTreeAndDeleteValue) {
  const char *appId = "AppID\\{12345678-1234-1234-1234-123456789ABC}";
  ASSERT_EQ(StoreText(HKEY_CLASSES_ROOT, appId, "", "Marolin"), ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_CLASSES_ROOT, "AppID\\{12345678-1234-1234-1234-123456789ABC}\\Sub", "v", "1"),
            ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_CLASSES_ROOT, "AppID\\{12345678-1234-1234-1234-123456789ABC}x", "", "neighbour"),
            ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_CLASSES_ROOT, "AppID\\Marolin.exe", "AppID", "{12345678}"), ERROR_SUCCESS);

  Reg stale;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, appId, 0, KEY_READ, &stale.h), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "appid\\{12345678-1234-1234-1234-123456789abc}"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, appId), ERROR_FILE_NOT_FOUND);

  struct Case {
    const char *path;
    long rc;
  } after[] = {
      {"AppID\\{12345678-1234-1234-1234-123456789ABC}", ERROR_FILE_NOT_FOUND},
      {"AppID\\{12345678-1234-1234-1234-123456789ABC}\\Sub", ERROR_FILE_NOT_FOUND},
      {"AppID\\{12345678-1234-1234-1234-123456789ABC}x", ERROR_SUCCESS},  // a name that merely starts alike
      {"AppID\\Marolin.exe", ERROR_SUCCESS},
      {"AppID", ERROR_SUCCESS},
  };
  for (const Case &c : after) {
    Reg k;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, c.path, 0, KEY_READ, &k.h), c.rc) << c.path;
  }
  unsigned long size = 0;
  EXPECT_EQ(RegQueryValueExA(stale.h, "", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);

  // Without a sub key the key stays and loses its contents.
  Reg appIdKey;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_ALL_ACCESS, &appIdKey.h), ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_CLASSES_ROOT, "AppID", "own", "value"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(appIdKey.h, nullptr), ERROR_SUCCESS);
  unsigned long subKeys = 9, nValues = 9;
  EXPECT_EQ(RegQueryInfoKeyA(appIdKey.h, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &nValues, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(nValues, 0u);

  ASSERT_EQ(StoreText(HKEY_CLASSES_ROOT, "AppID", "a", "1"), ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_CLASSES_ROOT, "AppID", "b", "2"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(appIdKey.h, "A"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(appIdKey.h, "a"), ERROR_FILE_NOT_FOUND);
  auto vals = values(HKEY_CLASSES_ROOT, "AppID");
  ASSERT_EQ(vals.size(), 1u);
  EXPECT_EQ(vals[0].first, "b");
}

TEST_F(RegistryTest, HandWrittenHiveFileIsRead) {
  WriteFile(hiveFile("HKEY_CURRENT_USER"),
            "# comment\n"
            "V\tSoftware\\Brevant\\Marolin\talang\t1\tfr%00\n"
            "V\tSoftware\\Brevant\\Marolin\tskin\t1\tDay%09Light%25%00\n"
            "K\tSoftware\\Empty\n"
            "garbage line\n"
            "V\tSoftware\\Brevant\\Marolin\tbroken\t1\tbad%zz\n"
            "V\tSoftware\\Brevant\\Marolin\tnotype\t\tx\n"
            "V\t\\Bad\\Path\tx\t1\tx\n"
            "V\tSoftware\\Brevant\\Marolin\tlast\t1\tno newline at the end");
  auto vals = values(HKEY_CURRENT_USER, kSettingsKey);
  ASSERT_EQ(vals.size(), 3u);
  EXPECT_EQ(vals[0], std::make_pair(std::string("alang"), std::string("fr\0", 3)));
  EXPECT_EQ(vals[1], std::make_pair(std::string("skin"), std::string("Day\tLight%\0", 11)));
  EXPECT_EQ(vals[2], std::make_pair(std::string("last"), std::string("no newline at the end")));
  Reg k;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Empty", 0, KEY_READ, &k.h), ERROR_SUCCESS);
}

TEST_F(RegistryTest, AFailedWriteLeavesTheOldHive) {
  ASSERT_EQ(StoreText(HKEY_CURRENT_USER, kSettingsKey, "alang", "de"), ERROR_SUCCESS);
  const std::string before = ReadFile(hiveFile("HKEY_CURRENT_USER"));

  // The file size limit makes the write of the new hive fail part-way.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ign = {}, oldAct;
  ign.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ign, &oldAct);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  long rc = StoreValue(HKEY_CURRENT_USER, kSettingsKey, "skin", std::string(20000, 'x'));
  setrlimit(RLIMIT_FSIZE, &old);
  sigaction(SIGXFSZ, &oldAct, nullptr);

  EXPECT_EQ(rc, ERROR_CANTWRITE);
  EXPECT_EQ(ReadFile(hiveFile("HKEY_CURRENT_USER")), before);
  for (const auto &e : fs::directory_iterator(registryDir())) {
    std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "HKEY_CURRENT_USER" || name == "HKEY_CURRENT_USER.lock") << name;
  }
  std::string got;
  EXPECT_EQ(get(HKEY_CURRENT_USER, kSettingsKey, "skin", &got), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ProcessesWritingAtOnceLoseNothing) {
  const int kProcs = 3, kEach = 30;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; p++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kEach; i++) {
        std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        failures += StoreText(HKEY_CURRENT_USER, kSettingsKey, name.c_str(), name) != ERROR_SUCCESS;
      }
      _exit(failures);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(values(HKEY_CURRENT_USER, kSettingsKey).size(), static_cast<size_t>(kProcs * kEach));
}

TEST_F(RegistryTest, MachineGuidComesFromTheMachineId) {
  std::ifstream in("/etc/machine-id");
  std::string id;
  if (!std::getline(in, id) || id.size() != 32) GTEST_SKIP() << "no /etc/machine-id";

  std::string guid;
  ASSERT_EQ(get(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", &guid), ERROR_SUCCESS);
  for (char &c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string want = id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" +
                           id.substr(16, 4) + "-" + id.substr(20) + '\0';
  EXPECT_EQ(guid, want);

  // Writing beside it keeps the supplied value out of the hive file; a stored value wins.
  ASSERT_EQ(StoreText(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Cryptography", "Other", "1"), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(hiveFile("HKEY_LOCAL_MACHINE")).find("MachineGuid"), std::string::npos);
  ASSERT_EQ(StoreText(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Cryptography", "machineguid", "stored"),
            ERROR_SUCCESS);
  ASSERT_EQ(get(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", &guid), ERROR_SUCCESS);
  EXPECT_EQ(guid, std::string("stored\0", 7));
  auto vals = values(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography");
  EXPECT_EQ(vals.size(), 2u);
}

TEST_F(RegistryTest, SerialPortsListDevicesThenStoredValues) {
  const char *path = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
  {
    Reg present;  // there even with no port on the machine and none listed
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &present.h), ERROR_SUCCESS);
  }
  auto devices = values(HKEY_LOCAL_MACHINE, path);
  for (const auto &[name, port] : devices) {
    ASSERT_FALSE(port.empty());
    std::string tty = port.substr(0, port.size() - 1);
    EXPECT_EQ(port.back(), '\0');
    EXPECT_TRUE(fs::exists("/sys/class/tty/" + tty + "/device")) << tty;
    EXPECT_TRUE(fs::exists("/sys" + name)) << name;
  }

  ASSERT_EQ(StoreText(HKEY_LOCAL_MACHINE, path, "/devices/virtual/tty/pts5", "pts/5"), ERROR_SUCCESS);
  ASSERT_EQ(StoreText(HKEY_LOCAL_MACHINE, path, "/devices/virtual/tty/pts7", "pts/7"), ERROR_SUCCESS);
  auto listed = values(HKEY_LOCAL_MACHINE, path);
  ASSERT_EQ(listed.size(), devices.size() + 2);
  EXPECT_TRUE(std::equal(devices.begin(), devices.end(), listed.begin()));
  EXPECT_EQ(listed[devices.size()].second, std::string("pts/5\0", 6));
  EXPECT_EQ(listed[devices.size() + 1].second, std::string("pts/7\0", 6));

  Reg k;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &k.h), ERROR_SUCCESS);
  unsigned long n = 0;
  ASSERT_EQ(RegQueryInfoKeyA(k.h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &n, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(n, listed.size());
  // Only the listed values are stored.
  std::string file = ReadFile(hiveFile("HKEY_LOCAL_MACHINE"));
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 1 + 3 + 2) << file;
}

}  // namespace
