// The program's command line, run as a process: registration and unregistration in the
// registry's HKEY_CLASSES_ROOT, and the server start that keeps only an idle loop.
#include <gtest/gtest.h>

#include <csignal>

#include "platform/registry.h"
#include "tests/support/e2e_support.h"
#include "tests/support/testing.h"

using namespace e2e;
using testing_support::HttpConn;
using testing_support::TestEnv;

namespace {

const char *const kAppIdKey = "AppID\\{5B8E1F42-93C7-4D2A-A6E1-0C7F3B9D4E85}";
const char *const kExeKey = "AppID\\Celvora.EXE";
const char *const kTypeLib = "TypeLib\\{C41A7D09-2E6B-4F58-9B3D-71E0A5C6F2B4}";

// A REG_SZ of HKEY_CLASSES_ROOT, or nullopt when the key or value is missing.
std::optional<std::string> ClassesValue(const std::string &key, const char *name) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return std::nullopt;
  char buf[1024];
  unsigned long size = sizeof buf, type = 0;
  long rc = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<unsigned char *>(buf), &size);
  RegCloseKey(k);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  return std::string(buf);
}

bool ClassesKeyExists(const std::string &key) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

class SwitchesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No display at all: a command that tried to open the window would fail.
    unsetenv("DISPLAY");
  }
  // Runs the program with one argument to its end; its exit code, -1 when it did not end.
  int Run(const std::string &arg) {
    Process p({ProgramPath(), arg}, env_.root() + "/marolin.log");
    auto status = p.wait();
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  }
  void ExpectRegistered() {
    EXPECT_EQ(ClassesValue(kAppIdKey, nullptr), "Celvora");
    EXPECT_EQ(ClassesValue(kExeKey, "AppID"), "{5B8E1F42-93C7-4D2A-A6E1-0C7F3B9D4E85}");
    const std::string version = std::string(kTypeLib) + "\\1.0";
    EXPECT_EQ(ClassesValue(version, nullptr), "Celvora 1.0 Type Library");
    EXPECT_EQ(ClassesValue(version + "\\409\\win32", nullptr), ProgramPath());
    EXPECT_EQ(ClassesValue(version + "\\FLAGS", nullptr), "0");
  }
  void ExpectUnregistered() {
    EXPECT_FALSE(ClassesKeyExists(kAppIdKey));
    EXPECT_FALSE(ClassesKeyExists(kExeKey));
    EXPECT_FALSE(ClassesKeyExists(kTypeLib));
  }
  // Neither the configuration nor the database step ran.
  void ExpectNoService() {
    EXPECT_FALSE(fs::exists(env_.dataFolder()));
    EXPECT_FALSE(HttpConn().ok());
  }

  TestEnv env_;
};

TEST_F(SwitchesTest, RegisterFormsWriteTheMachineWideEntriesAndEnd) {
  // Any case, in ASCII whatever the locale (a Turkish one has no capital of "i").
  for (const char *arg : {"/Register", "-regserver", "/REGISTERPERUSER", "-RegisterPerUser", "-RegserverPerUser"}) {
    SCOPED_TRACE(arg);
    ASSERT_EQ(Run("/Unregister"), 0);
    ExpectUnregistered();
    EXPECT_EQ(Run(arg), 0);
    ExpectRegistered();
  }
  ExpectNoService();
}

TEST_F(SwitchesTest, UnregisterFormsRemoveTheEntriesButKeepTheAppIdKey) {
  for (const char *arg : {"/Unregister", "-unregserver", "/UnregisterPerUser", "-UNREGSERVERPERUSER"}) {
    SCOPED_TRACE(arg);
    ASSERT_EQ(Run("/Register"), 0);
    ExpectRegistered();
    EXPECT_EQ(Run(arg), 0);
    ExpectUnregistered();
    EXPECT_TRUE(ClassesKeyExists("AppID"));
    EXPECT_TRUE(ClassesKeyExists("TypeLib"));
  }
  // Unregistering what is not registered is no failure either.
  EXPECT_EQ(Run("/Unregister"), 0);
  ExpectNoService();
}

TEST_F(SwitchesTest, EmbeddingAndAutomationKeepAnIdleLoopWithoutWindowOrService) {
  for (const char *arg : {"-Embedding", "/EMBEDDING", "/automation"}) {
    SCOPED_TRACE(arg);
    Process p({ProgramPath(), arg}, env_.root() + "/marolin.log");
    // The main thread comes to rest in its loop's poll.
    const std::string syscall = "/proc/" + std::to_string(p.pid()) + "/syscall";
    EXPECT_TRUE(WaitUntil([&] {
      const std::string s = testing_support::ReadFile(syscall);
      return s.rfind("7 ", 0) == 0 || s.rfind("271 ", 0) == 0;  // poll, ppoll
    }, kLong)) << testing_support::ReadFile(syscall);
    EXPECT_TRUE(p.running());
    ExpectNoService();
    EXPECT_FALSE(fs::exists(std::string(std::getenv("XDG_CONFIG_HOME")) + "/Marolin"));
    // Nothing in the program ends the loop; the signal's default action does.
    p.signal(SIGTERM);
    auto status = p.wait();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status));
  }
}

TEST_F(SwitchesTest, NormalRunWithoutADisplayShutsDownAndReportsTheFailure) {
  // The services start, the window cannot be made, the shutdown follows as after a close;
  // a switch no one knows is told and changes nothing.
  for (const char *arg : {"chart.txt", "--VERSION"}) {
    SCOPED_TRACE(arg);
    const std::string log = env_.root() + "/marolin.log", ignored = "Marolin: ignored unknown switch --VERSION\n";
    fs::remove(log);
    EXPECT_EQ(Run(arg), 1);
    EXPECT_TRUE(fs::exists(env_.dataFolder() + "veskara.trip"));
    const std::string out = testing_support::ReadFile(log);
    EXPECT_NE(out.find("cannot open the display"), std::string::npos) << out;
    EXPECT_EQ(out.find(ignored) != std::string::npos, arg[0] == '-') << out;
    EXPECT_FALSE(HttpConn().ok());
  }
}

TEST_F(SwitchesTest, HelpAndVersionAnswerOnStandardOutputAndEndAtOnce) {
  const std::string config = std::getenv("XDG_CONFIG_HOME");
  const std::vector<std::string> usage = {
      "Usage: marolin", "/Register", "/RegserverPerUser", "/Unregister", "/UnregserverPerUser", "/Embedding",
      "/Automation", "--version", "count only as written", "MAROLIN_CHART_SERVER", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
      // The paths as this environment gives them.
      "  data      " + env_.dataFolder() + "\n", "  settings  " + config + "/Marolin/registry/\n",
      "  playback  " + env_.workDir() + "/Marolin/nmea.log\n", "README.md"};
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> shown;
  } cases[] = {
      {{"--help"}, usage},
      {{"-h"}, usage},
      {{"/Register", "--help", "/Embedding"}, usage},  // before every other switch
      {{"--version"}, {"Marolin W.1.16.78\n"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + std::to_string(c.args.size()));
    const std::string out = env_.root() + "/out.txt", err = env_.root() + "/err.txt";
    fs::remove(out);
    fs::remove(err);
    std::vector<std::string> argv{ProgramPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process p(argv, out, err);
    auto status = p.wait();
    ASSERT_TRUE(status) << "the program did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    const std::string text = testing_support::ReadFile(out);
    for (const auto &part : c.shown) EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
    if (c.shown.size() == 1) {
      EXPECT_EQ(text, c.shown[0]);
    }
    EXPECT_EQ(testing_support::ReadFile(err), "");
    ExpectNoService();
    EXPECT_FALSE(fs::exists(config + "/Marolin"));  // nothing registered
  }
}

}  // namespace
