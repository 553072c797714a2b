// Small system services that start-up and the settings need: socket start-up, the
// version word, host name, locale name, the data folder, folder creation and the
// warning box.
#pragma once

#include <cstddef>
#include <functional>

// Socket start-up. Linux sockets need none: returns 0, or the error code of an
// installed fake.
int PlatformSocketStartup();

// Windows-style version word of the running kernel: lowest byte major, second byte
// minor, upper 16 bits build, from the uname() release ("6.1.0-18-amd64" gives 6.1.0;
// build is cut to 15 bits so the top bit stays clear).
unsigned long PlatformGetVersion();

// gethostname() into buf (size bytes); 0 on success, -1 on failure.
int PlatformGetHostName(char *buf, size_t size);

// The user's locale name in UTF-16 with its NUL, from LC_ALL, else LC_MESSAGES, else
// LANG (the first one set and not empty): "de_DE.UTF-8" gives "de-DE"; the encoding and
// the modifier are dropped and "_" becomes "-". Returns the units written including the
// NUL, or 0 when no locale is set, the locale is "C" or "POSIX" (with or without an
// encoding), the name holds anything but ASCII letters, digits and "-", or it does not
// fit in units.
int PlatformGetUserDefaultLocaleName(char16_t *buf, int units);

// The per-user data folder, ${XDG_DATA_HOME:-$HOME/.local/share}, without a trailing
// "/". Returns 0 on success; nonzero when neither variable is set (an XDG_DATA_HOME
// that is not absolute counts as unset) or the path does not fit in size bytes.
int PlatformCommonAppDataFolder(char *out, size_t size);

// Creates path with all missing parents. Returns 0 when the folder exists afterwards,
// else an errno value.
int PlatformCreateDirectories(const char *path);

// Warning box.
constexpr unsigned MB_OK = 0x0000;
constexpr unsigned MB_ICONWARNING = 0x0030;
constexpr int IDOK = 1;

// Shows text with caption and waits until it is acknowledged; returns IDOK. owner is
// not used. Without a handler the message is one line on standard error:
// "<caption>: <text>".
int MessageBoxA(void *owner, const char *text, const char *caption, unsigned type);

// Routes MessageBoxA to handler (an empty function restores the standard error line),
// e.g. to a dialog on the UI thread. The handler runs on the calling thread.
// True while a handler shows the boxes (the window runs); false while a box is the line
// on standard error.
bool PlatformMessageBoxIsShown();

void PlatformSetMessageBoxHandler(std::function<int(const char *text, const char *caption, unsigned type)> handler);

// Fakes for answers the real system cannot be made to give on demand (a failing socket
// start-up, a version word with the top bit set, an empty host name, a given locale).
// An empty member uses the real service. Install before the services are used.
struct PlatformFakes {
  std::function<int()> socketStartup;
  std::function<unsigned long()> version;
  std::function<int(char *buf, size_t size)> hostName;
  std::function<int(char16_t *buf, int units)> localeName;
};
void PlatformSetFakes(PlatformFakes fakes);
