// A real browser loads the page from a package made by the builder: headless Chromium
// runs the page's script, which reads a stored value and map texts from the server and
// writes them into the document that the test then inspects.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/host_config.h"
#include "server/databases.h"
#include "tests/support/packages.h"
#include "tests/support/testing.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using testing_support::MakePackage;
using testing_support::WriteFile;

const char *const kChromium = "/usr/bin/chromium";

const char *const kPage = R"(<!DOCTYPE HTML>
<html><head><meta charset="utf-8"><script src="/app/page.js"></script></head>
<body><div id="mode">-</div><div id="value">pending</div><div id="map">pending</div><div id="missing">pending</div></body></html>
)";

const char *const kScript = R"(
function put(id, text) { document.getElementById(id).textContent = text; }
window.addEventListener('DOMContentLoaded', function () {
  put('mode', document.compatMode);
  fetch('/getValue/Greeting').then(function (r) { return r.text(); })
    .then(function (t) { put('value', 'value:' + t); }, function (e) { put('value', 'error:' + e); });
  fetch('/getMapDataA/depths').then(function (r) { return r.json(); })
    .then(function (a) { put('map', 'map:' + JSON.stringify(a)); }, function (e) { put('map', 'error:' + e); });
  fetch('/getValue/nothing').then(function (r) { put('missing', 'missing:' + r.status); });
});
)";

// Runs Chromium on the URL and returns the document it dumps.
std::string DumpDom(const std::string &home, const std::string &url) {
  const std::string out = home + "/dom.html", err = home + "/chromium.log";
  std::vector<std::string> args = {"timeout", "120", kChromium, "--headless", "--no-sandbox", "--disable-gpu",
                                   "--disable-background-networking", "--disable-component-update",
                                   "--disable-sync", "--no-first-run", "--user-data-dir=" + home + "/profile",
                                   "--virtual-time-budget=5000", "--dump-dom", url};
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  setenv("HOME", home.c_str(), 1);
  pid_t pid;
  int rc = posix_spawnp(&pid, "timeout", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return "<could not start chromium>";
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "<chromium failed: " + testing_support::ReadFile(err) + ">";
  return testing_support::ReadFile(out);
}

TEST(Browser, PageReadsValuesAndMapTexts) {
  ASSERT_EQ(access(kChromium, X_OK), 0) << "chromium is not installed (scripts/bootstrap installs it)";
  testing_support::TestEnv env;
  const std::string data = env.dataFolder(), src = env.root() + "/src";
  fs::create_directories(data);
  WriteFile(src + "/veskara.html", kPage);
  WriteFile(src + "/page.js", kScript);
  ASSERT_EQ(MakePackage(data + "A000001.veskara", {"app", src, "--lang", "en"}), 0);
  const std::string chart = data + "A000042.veskara";
  ASSERT_EQ(MakePackage(chart, {"row", "depths", "5", "de", "--text", "12"}), 0);
  ASSERT_EQ(MakePackage(chart, {"row", "depths", "5", "**", "--text", "[3,4]"}), 0);

  testing_support::StartTestServer(env);
  HostConfig.ChartDb.set(OpenPackage("A000042.veskara"));
  {
    sqlite3 *trip = nullptr;
    sqlite3_open_v2((data + "veskara.trip").c_str(), &trip, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(trip, 5000);
    ASSERT_EQ(sqlite3_exec(trip, "INSERT INTO kvt(k,v,t,l) VALUES ('greeting','ahoy \"sailor\"',4,'**')", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(trip);
  }

  std::string dom = DumpDom(env.root(), "http://127.0.0.2:9999/app/veskara.html");
  EXPECT_NE(dom.find("<div id=\"mode\">CSS1Compat</div>"), std::string::npos) << dom;  // the doctype arrived
  EXPECT_NE(dom.find("<div id=\"value\">value:ahoy \"sailor\"</div>"), std::string::npos) << dom;
  EXPECT_TRUE(dom.find("<div id=\"map\">map:[12,[3,4]]</div>") != std::string::npos ||
              dom.find("<div id=\"map\">map:[[3,4],12]</div>") != std::string::npos)
      << dom;
  EXPECT_NE(dom.find("<div id=\"missing\">missing:404</div>"), std::string::npos) << dom;
}

}  // namespace
