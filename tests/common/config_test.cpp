// Start-up configuration in an isolated environment: defaults, stored settings, the
// device identifier, the locale, the data folder, the failure codes and RegWriteSetting.
#include "common/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "common/host_config.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "tests/support/registry_values.h"
#include "tests/support/testing.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  ConfigTest() {
    for (const char *v : {"LC_ALL", "LC_MESSAGES"}) unsetenv(v);
    setenv("LANG", "de_DE.UTF-8", 1);
  }
  ~ConfigTest() override {
    PlatformSetFakes({});
    PlatformSetMessageBoxHandler(nullptr);
  }
  std::string dataFolder() const { return env.root() + "/data/Marolin/"; }
  static std::string Host() {
    char host[100] = {};
    gethostname(host, 99);
    return host;
  }
  static std::string Guid() {
    char guid[100] = {};
    ReadMachineGuid(guid);
    return guid;
  }

  TestEnv env;
};

TEST_F(ConfigTest, DefaultsWithoutStoredSettings) {
  ASSERT_EQ(InitConfig(), 0);
  SettingsCopy s = CopySettings();
  EXPECT_STREQ(s.alang, "en");
  EXPECT_STREQ(s.skin, "Navy Blue");
  EXPECT_STREQ(s.mlang, "de");
  EXPECT_STREQ(HostConfig.ServerAddress, "127.0.0.2");
  EXPECT_EQ(HostConfig.ServerPort, 9999);
  EXPECT_STREQ(HostConfig.WebRoot, dataFolder().c_str());
  EXPECT_STREQ(HostConfig.PackageFolder, dataFolder().c_str());
  EXPECT_STREQ(HostConfig.TripFolder, dataFolder().c_str());
  EXPECT_TRUE(fs::is_directory(dataFolder()));
  EXPECT_STREQ(HostConfig.LocaleName, "de-DE");
  EXPECT_EQ(HostConfig.ServerRunning, 0);
  EXPECT_FALSE(HostConfig.TripDb);
  // Reading settings writes nothing.
  EXPECT_FALSE(fs::exists(env.root() + "/config/Marolin/registry/HKEY_CURRENT_USER"));

  const unsigned long word = PlatformGetVersion();
  const std::string want = "W|" + Guid() + "|" + std::to_string(word & 0xFF) + "." +
                           std::to_string((word >> 8) & 0xFF) + "." + std::to_string(word >> 16) + "|" + Host() + "|";
  EXPECT_EQ(std::string(HostConfig.DeviceId), want);
  EXPECT_FALSE(Guid().empty() && fs::exists("/etc/machine-id"));
}

TEST_F(ConfigTest, StoredSettingsThatFitAreTakenWhole) {
  const std::string skin31 = "Deep Ocean Night Vision Red 031";
  const std::string skin32 = skin31 + "X";
  ASSERT_EQ(skin31.size(), 31u);
  struct Case {
    std::string alang, skin;  // stored bytes; empty = not stored
    unsigned long type;
    const char *wantAlang, *wantSkin;
  } cases[] = {
      {std::string("fr\0", 3), std::string("Day\0", 4), REG_SZ, "fr", "Day"},
      {std::string("deu\0", 4), skin31 + '\0', REG_SZ, "deu", skin31.c_str()},
      // Too long for the field: the default stays.
      {std::string("engl\0", 5), skin32 + '\0', REG_SZ, "en", "Navy Blue"},
      // Stored without the NUL: taken when the field has room to end it, else refused.
      {"it", "Dusk", REG_SZ, "it", "Dusk"},
      {"nlde", skin31 + "Y", REG_SZ, "en", "Navy Blue"},
      {std::string("\0", 1), std::string("\0", 1), REG_SZ, "", ""},
      {std::string("fr\0", 3), std::string("Day\0", 4), REG_BINARY, "en", "Navy Blue"},
      {"", "", REG_SZ, "en", "Navy Blue"},
  };
  for (const Case &c : cases) {
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software");
    if (!c.alang.empty()) {
      ASSERT_EQ(StoreValue(HKEY_CURRENT_USER, kSettingsKey, "alang", c.alang, c.type), ERROR_SUCCESS);
    }
    if (!c.skin.empty()) {
      ASSERT_EQ(StoreValue(HKEY_CURRENT_USER, kSettingsKey, "skin", c.skin, c.type), ERROR_SUCCESS);
    }
    ASSERT_EQ(InitConfig(), 0);
    SettingsCopy s = CopySettings();
    EXPECT_STREQ(s.alang, c.wantAlang) << c.alang;
    EXPECT_STREQ(s.skin, c.wantSkin) << c.skin;
    EXPECT_STREQ(s.mlang, "de");
  }
}

TEST_F(ConfigTest, LocaleNameIsCutToFiveCharacters) {
  struct Case {
    const char *lcAll, *lang;
    const char *want;
  } cases[] = {
      {nullptr, "sr_RS.UTF-8@latin", "sr-RS"},
      {"sr-Latn-RS", "de_DE.UTF-8", "sr-La"},
      {nullptr, "fr", "fr"},
      {nullptr, "es_419.UTF-8", "es-41"},
      {nullptr, "C.UTF-8", ""},  // no locale of the user's: empty
      {nullptr, nullptr, ""},
  };
  for (const Case &c : cases) {
    if (c.lcAll)
      setenv("LC_ALL", c.lcAll, 1);
    else
      unsetenv("LC_ALL");
    if (c.lang)
      setenv("LANG", c.lang, 1);
    else
      unsetenv("LANG");
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_STREQ(HostConfig.LocaleName, c.want) << (c.lang ? c.lang : "-");
    EXPECT_EQ(HostConfig.LocaleName[5], 0);
  }
  // Each UTF-16 unit gives its low byte.
  PlatformFakes fakes;
  fakes.localeName = [](char16_t *buf, int) {
    const char16_t name[] = u"\u0161r-\u0141atn";
    std::copy(std::begin(name), std::end(name), buf);
    return 9;
  };
  PlatformSetFakes(fakes);
  ASSERT_EQ(InitConfig(), 0);
  EXPECT_STREQ(HostConfig.LocaleName, "\x61r-\x41\x61");
}

TEST_F(ConfigTest, DeviceIdFromVersionGuidAndHostName) {
  std::string longGuid(99, 'g');  // 99 characters and the NUL do not fit in 99 bytes
  struct Case {
    unsigned long version;
    std::string storedGuid;
    bool hostFails;
    std::string want;
  } cases[] = {
      {0x23F00A06UL, "guid-1", false, "W|guid-1|6.10.9200|" + Host() + "|"},
      {0xA3F00A06UL, "guid-1", false, "W|guid-1|6.10.0|" + Host() + "|"},  // top bit: build 0
      {0x00000000UL, "", true, "W||0.0.0||"},
      {0x00010106UL, longGuid, true, "W||6.1.1||"},
      {0xFFFFFFFFUL, std::string(98, 'h'), false, "W|" + std::string(98, 'h') + "|255.255.0|" + Host() + "|"},
  };
  for (const Case &c : cases) {
    PlatformFakes fakes;
    const unsigned long version = c.version;
    fakes.version = [version] { return version; };
    if (c.hostFails) fakes.hostName = [](char *, size_t) { return -1; };
    PlatformSetFakes(fakes);
    ASSERT_EQ(StoreText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", c.storedGuid),
              ERROR_SUCCESS);
    ASSERT_EQ(InitConfig(), 0);
    EXPECT_EQ(std::string(HostConfig.DeviceId), c.want);
  }
}

TEST_F(ConfigTest, SocketStartupFailureLeavesEverythingZero) {
  ASSERT_EQ(InitConfig(), 0);  // a filled record first: the failure must clear it
  PlatformFakes fakes;
  fakes.socketStartup = [] { return 10091; };
  PlatformSetFakes(fakes);
  testing::internal::CaptureStdout();
  EXPECT_EQ(InitConfig(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "WSAStartup failed: 10091\n");
  SettingsCopy s = CopySettings();
  EXPECT_STREQ(s.alang, "");
  EXPECT_STREQ(s.skin, "");
  EXPECT_STREQ(s.mlang, "");
  for (const char *text : {HostConfig.DeviceId, HostConfig.LocaleName, HostConfig.WebRoot, HostConfig.PackageFolder,
                           HostConfig.TripFolder, HostConfig.ServerAddress})
    EXPECT_STREQ(text, "");
  EXPECT_EQ(HostConfig.ServerPort, 0);
}

TEST_F(ConfigTest, DataFolderLookupFailures) {
  const char *oldHome = std::getenv("HOME");
  const std::string home = oldHome ? oldHome : "";
  struct Case {
    const char *xdg, *home;
    int want;
  } cases[] = {
      {nullptr, nullptr, 2},
      {nullptr, "relative", 2},
      {"/tmp/x", nullptr, 0},
  };
  // A folder of 311 characters: with "/Marolin/" it needs 321 bytes.
  std::string tooLong = env.root();
  while (tooLong.size() < 311) tooLong += "/" + std::string(std::min<size_t>(100, 310 - tooLong.size()), 'd');
  for (const Case &c : cases) {
    c.xdg ? setenv("XDG_DATA_HOME", (env.root() + c.xdg).c_str(), 1) : unsetenv("XDG_DATA_HOME");
    c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
    EXPECT_EQ(InitConfig(), c.want);
    if (c.want != 0) {
      EXPECT_STREQ(HostConfig.WebRoot, "");
      EXPECT_STREQ(HostConfig.ServerAddress, "");
      EXPECT_EQ(HostConfig.ServerPort, 0);
      EXPECT_STREQ(CopySettings().mlang, "de");  // the steps before ran
    }
  }
  // A folder that would not fit the field with its NUL is not cut short.
  setenv("XDG_DATA_HOME", tooLong.c_str(), 1);
  EXPECT_EQ(InitConfig(), 2);
  EXPECT_STREQ(HostConfig.WebRoot, "");
  tooLong.pop_back();
  setenv("XDG_DATA_HOME", tooLong.c_str(), 1);
  EXPECT_EQ(InitConfig(), 0);
  EXPECT_EQ(std::string(HostConfig.TripFolder), tooLong + "/Marolin/");
  if (oldHome) setenv("HOME", home.c_str(), 1);
}

TEST_F(ConfigTest, SecondStartChangesNothingInTheDataFolder) {
  ASSERT_EQ(InitConfig(), 0);
  WriteFile(dataFolder() + "veskara.trip", "trip");
  fs::create_directories(dataFolder() + "sub");
  struct stat before;
  ASSERT_EQ(stat(dataFolder().c_str(), &before), 0);
  std::map<std::string, std::string> listing;
  for (const auto &e : fs::recursive_directory_iterator(env.root() + "/data"))
    listing[e.path().string()] = e.is_regular_file() ? ReadFile(e.path().string()) : "";

  ASSERT_EQ(InitConfig(), 0);
  struct stat after;
  ASSERT_EQ(stat(dataFolder().c_str(), &after), 0);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  std::map<std::string, std::string> again;
  for (const auto &e : fs::recursive_directory_iterator(env.root() + "/data"))
    again[e.path().string()] = e.is_regular_file() ? ReadFile(e.path().string()) : "";
  EXPECT_EQ(listing, again);
}

TEST_F(ConfigTest, RegWriteSettingStoresAndTheNextStartReadsIt) {
  EXPECT_EQ(RegWriteSetting("alang", "fr"), ERROR_SUCCESS);
  EXPECT_EQ(RegWriteSetting("skin", "Day Light"), ERROR_SUCCESS);
  EXPECT_EQ(RegWriteSetting("alang", "nl"), ERROR_SUCCESS);
  ASSERT_EQ(InitConfig(), 0);
  SettingsCopy s = CopySettings();
  EXPECT_STREQ(s.alang, "nl");
  EXPECT_STREQ(s.skin, "Day Light");

  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &k), ERROR_SUCCESS);
  unsigned long n = 0;
  RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr);
  unsigned long type = 0, size = 0;
  RegQueryValueExA(k, "skin", nullptr, &type, nullptr, &size);
  RegCloseKey(k);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 10u);  // the text and its NUL
}

TEST_F(ConfigTest, RegWriteSettingWarnsWhenTheKeyCannotBeCreated) {
  WriteFile(env.root() + "/config/Marolin", "a file where the folder belongs");
  std::vector<std::string> boxes;
  PlatformSetMessageBoxHandler([&](const char *text, const char *caption, unsigned type) {
    boxes.push_back(std::string(text) + "|" + caption + "|" + std::to_string(type));
    return IDOK;
  });
  EXPECT_NE(RegWriteSetting("alang", "fr"), ERROR_SUCCESS);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "Registry error|Marolindll|" + std::to_string(MB_OK | MB_ICONWARNING));

  PlatformSetMessageBoxHandler(nullptr);
  testing::internal::CaptureStderr();
  EXPECT_NE(RegWriteSetting("skin", "Day"), ERROR_SUCCESS);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Marolindll: Registry error\n");
  ASSERT_EQ(InitConfig(), 0);
  EXPECT_STREQ(CopySettings().alang, "en");
}

}  // namespace
