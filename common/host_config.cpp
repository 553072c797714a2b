// The one HostConfig record and the copy of its settings.
#include "common/host_config.h"

#include <cstring>

HostConfigRec HostConfig;

SettingsCopy CopySettings() {
  SettingsCopy c;
  std::lock_guard<std::mutex> lk(HostConfig.SettingsLock);
  std::memcpy(c.alang, HostConfig.alang, sizeof c.alang);
  std::memcpy(c.mlang, HostConfig.mlang, sizeof c.mlang);
  std::memcpy(c.skin, HostConfig.skin, sizeof c.skin);
  return c;
}
