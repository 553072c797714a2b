// Test fixtures made with the package builder (tools/make_package), run as its own
// process the way a developer runs it. Header-only: MAROLIN_BINARY_DIR is defined for
// test sources only.
#pragma once

#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char **environ;

namespace testing_support {

// Runs a program with the arguments; its exit status, or -1 when it could not run.
inline int RunProgram(const std::string &program, const std::vector<std::string> &args) {
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

#ifdef MAROLIN_BINARY_DIR
inline std::string MakePackageTool() { return MAROLIN_BINARY_DIR "/tools/make_package"; }

// make_package PACKAGE ARGS...; its exit status.
inline int MakePackage(const std::string &package, const std::vector<std::string> &args) {
  std::vector<std::string> all{package};
  all.insert(all.end(), args.begin(), args.end());
  return RunProgram(MakePackageTool(), all);
}
#endif

}  // namespace testing_support
