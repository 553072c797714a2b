// One line on standard error per failure the program goes on after.
#include "common/failure_report.h"

#include <cstdio>
#include <cstring>

std::string ErrorText(int err) {
  const char *text = strerrordesc_np(err);
  return text ? text : "error " + std::to_string(err);
}

std::string FailureLine(const std::string &what, const std::string &why) { return "Marolin: " + what + ": " + why; }

void ReportLine(const std::string &text) {
  // One write for the whole line, so that lines of several threads never mix.
  const std::string line = "Marolin: " + text + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void ReportFailure(const std::string &what, const std::string &why) { ReportLine(what + ": " + why); }

void ReportFailure(const std::string &what, int err) { ReportFailure(what, ErrorText(err)); }
