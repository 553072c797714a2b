// The window's policies as plain functions: which addresses stay in the window, the
// full-screen fragment, the key table, element focus and the command line.
#pragma once

#include <string>
#include <vector>

// True when the address is shown in the window; false when it goes to the desktop's
// default handler and the navigation is cancelled.
bool UrlStaysInBrowser(const char *url);

// Scans "%*[^#]#fullscreen=%d": at least one character other than '#', then the first '#'
// followed by "fullscreen=" and a decimal integer. On a match stores bit 0 of the number
// (odd: full screen, even: windowed) and returns true. Numbers of any length are accepted;
// only their parity counts, so no value can overflow.
bool ParseFullscreenFragment(const char *url, int *bit0);

// Key messages as the key hook sees them: a system key is one pressed with Alt (or F10).
enum class KeyMessage { KeyDown, KeyUp, SysKeyDown, SysKeyUp };

// The key table: true when the key counts as handled and never reaches the page, false
// when the browser processes it as usual. focusKind is FocusKind (0, 1 or 2).
bool KeyIsSwallowed(int focusKind, KeyMessage msg, bool returnKey);

// Classifies a GDK key event (press or release, key value, modifier state).
KeyMessage KeyMessageFor(bool press, unsigned keyval, unsigned modifiers);
bool IsReturnKey(unsigned keyval);

// FocusKind after a focus event of the page. Only input, textarea, select and button
// elements count (tag names compared without regard to case); other elements leave it
// as it was.
enum class FocusEvent { In, Out };
int FocusKindAfter(int focusKind, FocusEvent ev, const char *tagName);

// The command line: a switch begins with '/' or '-'; anything else is a file name, which
// is not used. Later shell commands override earlier ones. "--help", "-h" and "--version"
// (exactly so) ask for the usage or the version, which come before everything else. A
// switch no one knows is ignored, and listed unless it is a path after all (a further
// '/' in it, or a file or folder of that name).
enum class ShellCommand { Normal, Register, Unregister };
struct CommandLineInfo {
  ShellCommand command = ShellCommand::Normal;
  bool perUser = false;  // parsed, not used: registration is always machine-wide
  bool runEmbedded = false;
  bool runAutomated = false;
  bool showHelp = false;
  bool showVersion = false;
  std::vector<std::string> unknownSwitches;
};
CommandLineInfo ParseCommandLine(int argc, const char *const *argv);
