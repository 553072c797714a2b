// make_package: writes the content of a package file (created when missing). Each run
// applies one command and replaces the rows it writes, so a package is built up by
// running the tool several times.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/package_writer.h"

using namespace package_writer;

namespace {

const char *const kUsage =
    "usage: make_package PACKAGE COMMAND [ARGS]\n"
    "commands:\n"
    "  app FOLDER [--lang L] [--skin S]\n"
    "      every file below FOLDER as the row \"/app/<path>\" (lower-cased); t from the\n"
    "      file kind (100 for HTML pages); l = S below /app/img, L elsewhere (default **)\n"
    "  row KEY T L (--text TEXT | --file PATH | --null)\n"
    "      one kvt row; KEY is stored as given\n";

int Fail(const std::string &message) {
  std::fprintf(stderr, "make_package: %s\n", message.c_str());
  return 1;
}

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int App(Package &pkg, int argc, char **argv) {
  if (argc < 1) return Usage();
  std::string folder = argv[0], lang = kAllLanguages, skin = kAllLanguages;
  for (int i = 1; i < argc; ++i) {
    if (i + 1 < argc && std::strcmp(argv[i], "--lang") == 0)
      lang = argv[++i];
    else if (i + 1 < argc && std::strcmp(argv[i], "--skin") == 0)
      skin = argv[++i];
    else
      return Usage();
  }
  std::string error;
  if (!AddAppFolder(pkg, folder, lang, skin, error)) return Fail(error);
  return 0;
}

int Row(Package &pkg, int argc, char **argv) {
  if (argc < 4) return Usage();
  std::string key = argv[0], lang = argv[2];
  char *end = nullptr;
  long long t = std::strtoll(argv[1], &end, 10);
  if (!*argv[1] || *end) return Usage();
  Value v;
  std::string how = argv[3];
  if (how == "--null" && argc == 4) {
    v.kind = Value::Null;
  } else if (how == "--text" && argc == 5) {
    v = {Value::Text, argv[4]};
  } else if (how == "--file" && argc == 5) {
    if (!ReadWhole(argv[4], v.bytes)) return Fail(std::string("cannot read ") + argv[4]);
    v.kind = IsTextKind(static_cast<int>(t)) ? Value::Text : Value::Blob;
  } else {
    return Usage();
  }
  if (!pkg.put(key, v, t, lang)) return Fail(key + ": " + pkg.error());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return Usage();
  std::string command = argv[2];
  int (*run)(Package &, int, char **) = nullptr;
  if (command == "app")
    run = App;
  else if (command == "row")
    run = Row;
  else
    return Usage();
  // A fresh account has no data folder yet.
  const std::filesystem::path folder = std::filesystem::path(argv[1]).parent_path();
  std::error_code ec;
  if (!folder.empty() && !std::filesystem::create_directories(folder, ec) && ec)
    return Fail("cannot create the folder " + folder.string() + ": " + ec.message());
  Package pkg(argv[1]);
  if (!pkg.ok()) return Fail(std::string(argv[1]) + ": " + pkg.error());
  int rc = run(pkg, argc - 3, argv + 3);
  if (rc != 0) return rc;
  if (!pkg.commit()) return Fail(std::string(argv[1]) + ": " + pkg.error());
  return 0;
}
