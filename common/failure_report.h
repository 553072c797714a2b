// Start-up and service failures that the program goes on after: one line on standard
// error each, saying what failed, where, and why.
#pragma once

#include <string>

// The system's text for an errno value, in English whatever the desktop's language (the
// rest of the line is English too).
std::string ErrorText(int err);

// "Marolin: <what>: <why>", the line ReportFailure writes (without its line end).
std::string FailureLine(const std::string &what, const std::string &why);

// Writes "Marolin: <text>" and a line end to standard error, at once.
void ReportLine(const std::string &text);
void ReportFailure(const std::string &what, const std::string &why);
void ReportFailure(const std::string &what, int err);
