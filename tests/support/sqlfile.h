// Test support: SQL on database files (packages the test builds, the trip database it checks).
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// Runs one or more statements on the file, creating it when missing; false on any error.
bool SqlExec(const std::string &file, const std::string &sql);

// The rows of one query, each as its cells joined by "|" (NULL as "NULL").
std::vector<std::string> SqlRows(const std::string &file, const std::string &sql);

// Hex for an SQL blob literal: X'...'.
std::string SqlBlob(const std::string &bytes);

}  // namespace testing_support
