// make_demo: puts the demo packages into a data folder, built from the demo sources
// (the stand-in page below DEMO/app becomes the web-application package).
#include <cstdio>
#include <string>
#include <system_error>

#include "tools/package_writer.h"

using namespace package_writer;

namespace {

const char *const kAppPackage = "A000001.veskara";

int Fail(const std::string &message) {
  std::fprintf(stderr, "make_demo: %s\n", message.c_str());
  return 1;
}

// Builds the package beside its final name and moves it into place whole.
bool BuildAppPackage(const fs::path &data, const fs::path &demo, std::string &error) {
  fs::path target = data / kAppPackage;
  fs::path temp = data / (std::string(kAppPackage) + ".new");
  std::error_code ec;
  fs::remove(temp, ec);
  {
    Package pkg(temp.string());
    if (!pkg.ok()) {
      error = temp.string() + ": " + pkg.error();
      return false;
    }
    if (!AddAppFolder(pkg, demo / "app", kAllLanguages, kAllLanguages, error)) return false;
    if (!pkg.commit()) {
      error = temp.string() + ": " + pkg.error();
      return false;
    }
  }
  fs::rename(temp, target, ec);
  if (ec) {
    error = target.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fputs("usage: make_demo DATA_FOLDER DEMO_FOLDER\n", stderr);
    return 2;
  }
  fs::path data = argv[1], demo = argv[2];
  std::error_code ec;
  fs::create_directories(data, ec);
  if (ec) return Fail(data.string() + ": " + ec.message());
  std::string error;
  if (!BuildAppPackage(data, demo, error)) return Fail(error);
  return 0;
}
