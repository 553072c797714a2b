// System services: locale name, version word, data folder, folder creation, warning box.
#include "platform/system.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/testing.h"

namespace fs = std::filesystem;
using testing_support::TestEnv;

namespace {

void SetOrUnset(const char *name, const char *value) {
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

std::optional<std::string> LocaleName(int units = 256) {
  char16_t buf[256] = {};
  int n = PlatformGetUserDefaultLocaleName(buf, units);
  if (n == 0) return std::nullopt;
  std::string s;
  for (int i = 0; i < n - 1; i++) s += static_cast<char>(buf[i]);
  EXPECT_EQ(buf[n - 1], 0);
  return s;
}

TEST(SystemTest, LocaleNameFromThePosixVariables) {
  struct Case {
    const char *lcAll, *lcMessages, *lang;
    std::optional<std::string> want;
  } cases[] = {
      {nullptr, nullptr, "de_DE.UTF-8", "de-DE"},
      {nullptr, nullptr, "sr_RS.UTF-8@latin", "sr-RS"},
      {nullptr, nullptr, "sr_RS@latin", "sr-RS"},
      {nullptr, nullptr, "fr", "fr"},
      {"sr-Latn-RS", nullptr, "de_DE.UTF-8", "sr-Latn-RS"},
      {nullptr, "it_IT.ISO-8859-1", "de_DE.UTF-8", "it-IT"},
      {"", "", "en_GB", "en-GB"},  // empty variables count as unset
      {"pt_BR", "it_IT", "de_DE", "pt-BR"},
      {nullptr, nullptr, nullptr, std::nullopt},
      {nullptr, nullptr, "C", std::nullopt},
      {nullptr, nullptr, "C.UTF-8", std::nullopt},
      {"POSIX", nullptr, "de_DE.UTF-8", std::nullopt},
      {nullptr, nullptr, "/usr/share/i18n/xx", std::nullopt},
      {nullptr, nullptr, "de_DE\"<x>", std::nullopt},
      {nullptr, nullptr, "d\xc3\xa9_FR", std::nullopt},
  };
  for (const Case &c : cases) {
    SetOrUnset("LC_ALL", c.lcAll);
    SetOrUnset("LC_MESSAGES", c.lcMessages);
    SetOrUnset("LANG", c.lang);
    EXPECT_EQ(LocaleName(), c.want) << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-")
                                    << " " << (c.lang ? c.lang : "-");
  }
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(LocaleName(6), "de-DE");
  EXPECT_EQ(LocaleName(5), std::nullopt);  // no room for the NUL
}

TEST(SystemTest, VersionWordFromTheKernelRelease) {
  struct utsname u;
  ASSERT_EQ(uname(&u), 0);
  unsigned major = 0, minor = 0, build = 0;
  ASSERT_GE(std::sscanf(u.release, "%u.%u.%u", &major, &minor, &build), 2) << u.release;
  unsigned long word = PlatformGetVersion();
  EXPECT_EQ(word & 0xFF, major & 0xFF);
  EXPECT_EQ((word >> 8) & 0xFF, minor & 0xFF);
  EXPECT_EQ(word >> 16, build & 0x7FFF);
  EXPECT_EQ(word & 0x80000000UL, 0u);
}

TEST(SystemTest, DataFolderFromXdgOrHome) {
  const char *oldHome = std::getenv("HOME");
  std::string home = oldHome ? oldHome : "";
  struct Case {
    const char *xdg, *home;
    size_t size;
    std::optional<std::string> want;
  } cases[] = {
      {"/tmp/data", "/root", 320, "/tmp/data"},
      {"/tmp/data//", "/root", 320, "/tmp/data"},
      {"relative/data", "/home/u", 320, "/home/u/.local/share"},  // not absolute: ignored
      {"", "/home/u", 320, "/home/u/.local/share"},
      {nullptr, "/home/u", 320, "/home/u/.local/share"},
      {nullptr, nullptr, 320, std::nullopt},
      {nullptr, "relative", 320, std::nullopt},
      {"/tmp/data", nullptr, 10, "/tmp/data"},
      {"/tmp/data", nullptr, 9, std::nullopt},  // no room for the NUL
  };
  for (const Case &c : cases) {
    SetOrUnset("XDG_DATA_HOME", c.xdg);
    SetOrUnset("HOME", c.home);
    char out[320] = {};
    int rc = PlatformCommonAppDataFolder(out, c.size);
    EXPECT_EQ(rc == 0, c.want.has_value()) << (c.xdg ? c.xdg : "-") << " " << c.size;
    if (c.want && rc == 0) {
      EXPECT_EQ(std::string(out), *c.want);
    }
  }
  SetOrUnset("HOME", oldHome ? home.c_str() : nullptr);
}

TEST(SystemTest, CreateDirectoriesMakesParentsAndKeepsWhatExists) {
  TestEnv env;
  const std::string base = env.root() + "/made";
  EXPECT_EQ(PlatformCreateDirectories((base + "/a/b/Marolin/").c_str()), 0);
  EXPECT_TRUE(fs::is_directory(base + "/a/b/Marolin"));
  testing_support::WriteFile(base + "/a/b/Marolin/keep", "x");
  EXPECT_EQ(PlatformCreateDirectories((base + "/a/b/Marolin/").c_str()), 0);
  EXPECT_EQ(testing_support::ReadFile(base + "/a/b/Marolin/keep"), "x");

  testing_support::WriteFile(base + "/file", "x");  // a file where a folder should go
  EXPECT_NE(PlatformCreateDirectories((base + "/file/sub/").c_str()), 0);
  EXPECT_NE(PlatformCreateDirectories((base + "/file").c_str()), 0);
  EXPECT_NE(PlatformCreateDirectories(""), 0);
}

TEST(SystemTest, MessageBoxGoesToTheHandlerOrStandardError) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "Registry error", "Marolindll", MB_OK | MB_ICONWARNING), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Marolindll: Registry error\n");

  std::string seen;
  PlatformSetMessageBoxHandler([&](const char *text, const char *caption, unsigned type) {
    seen = std::string(caption) + "|" + text + "|" + std::to_string(type);
    return 7;
  });
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_OK | MB_ICONWARNING), 7);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(seen, "caption|text|48");

  PlatformSetMessageBoxHandler(nullptr);
  testing::internal::CaptureStderr();
  MessageBoxA(nullptr, "again", "caption", MB_OK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "caption: again\n");
}

}  // namespace
