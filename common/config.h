// Start-up configuration: fills HostConfig once, and stores settings back to the registry.
#pragma once

int InitConfig();
long RegWriteSetting(const char *name, const char *text);
long ReadMachineGuid(char *buf);
