// Test support: values a test stores in the registry stand-in before the code under test
// reads them.
#pragma once

#include <string>

#include "platform/registry.h"

namespace testing_support {

// The key below HKEY_CURRENT_USER that holds the program's settings.
inline constexpr char kSettingsKey[] = "Software\\Brevant\\Marolin";

// Creates the key at path (parents too) and stores bytes as its value name, with the type
// given; the registry's result.
long StoreValue(HKEY root, const char *path, const char *name, const std::string &bytes,
                unsigned long type = REG_SZ);
// A REG_SZ value: text with its terminating NUL.
long StoreText(HKEY root, const char *path, const char *name, const std::string &text);

}  // namespace testing_support
