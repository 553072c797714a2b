// Storing registry values for tests.
#include "tests/support/registry_values.h"

namespace testing_support {

long StoreValue(HKEY root, const char *path, const char *name, const std::string &bytes, unsigned long type) {
  HKEY k = nullptr;
  long rc = RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &k, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExA(k, name, 0, type, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
  RegCloseKey(k);
  return rc;
}

long StoreText(HKEY root, const char *path, const char *name, const std::string &text) {
  return StoreValue(root, path, name, std::string(text.c_str(), text.size() + 1));
}

}  // namespace testing_support
