// The usage and version texts of the command line.
#include "app/usage.h"

#include <unistd.h>

#include <climits>
#include <string>

#include "app/app_texts.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "server/handlers/handlers.h"

namespace {

constexpr char kUsageHead[] =
    "Usage: marolin [FILE] [/p | /pt | /dde]\n"
    "       marolin /Register | /Regserver | /RegisterPerUser | /RegserverPerUser\n"
    "       marolin /Unregister | /Unregserver | /UnregisterPerUser | /UnregserverPerUser\n"
    "       marolin /Embedding | /Automation\n"
    "       marolin --help | -h | --version\n"
    "\n"
    "Marolin is the desktop host of a browser-based nautical chart application: one window\n"
    "showing the chart page, which it serves itself on http://127.0.0.2:9999/, with NMEA 0183\n"
    "and AIS input from serial ports, NMEA over TCP, a playback file and the desktop location\n"
    "service.\n"
    "\n"
    "Without a switch it opens the window; a file name and /p, /pt, /dde change nothing.\n"
    "Switches begin with \"/\" or \"-\". The names of the register, unregister, embedding and\n"
    "automation switches are compared without regard to case; /p, /pt, /dde, --help, -h and\n"
    "--version count only as written here, and any other switch is ignored with a line on\n"
    "standard error:\n"
    "  /Register, /Regserver, /RegisterPerUser, /RegserverPerUser\n"
    "      write the program's AppID and type-library entries (HKEY_CLASSES_ROOT in the\n"
    "      settings folder below), then end\n"
    "  /Unregister, /Unregserver, /UnregisterPerUser, /UnregserverPerUser\n"
    "      remove them, then end\n"
    "  /Embedding, /Automation\n"
    "      start as a server: no window and no service, an idle loop until ended\n"
    "  --help, -h   this text;  --version   the program's version\n"
    "\n"
    "Environment:\n"
    "  MAROLIN_CHART_SERVER  host[:port] of the remote chart server for package downloads\n"
    "                        (default port 80)\n"
    "  XDG_DATA_HOME         base of the data folder (default ~/.local/share)\n"
    "  XDG_CONFIG_HOME       base of the settings folder (default ~/.config)\n"
    "  XDG_CACHE_HOME        base of the web view's cache (default ~/.cache)\n"
    "\n"
    "Files, as this environment gives them:\n";

constexpr char kUsageTail[] =
    "\n"
    "Start-up goes on after a failure (a data folder that cannot be written, a trip database\n"
    "that cannot be opened or is no SQLite file, no chart application, an address another\n"
    "program holds); each one is a line on standard error beginning \"Marolin: \".\n"
    "\n"
    "More: README.md in the Marolin sources (set-up, files, who may use the server).\n";

std::string Or(const std::string &path, const char *fallback) { return path.empty() ? fallback : path; }

}  // namespace

void PrintUsage(FILE *out) {
  char base[PATH_MAX];
  const std::string data = PlatformCommonAppDataFolder(base, sizeof base) == 0 ? std::string(base) + "/Marolin/" : "";
  const std::string folder = RegistryFolder();
  const std::string settings = folder.empty() ? "" : folder + "/";
  char cwd[PATH_MAX];
  const std::string playback = getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/Marolin/nmea.log" : "";
  std::fputs(kUsageHead, out);
  std::fprintf(out,
               "  data      %s\n"
               "            web-application package A000001.veskara, chart packages A%%06d.veskara,\n"
               "            download temporaries N%%06d.temp, trip database veskara.trip\n"
               "  settings  %s\n"
               "            one text file per registry hive (settings alang and skin)\n"
               "  playback  %s\n"
               "            NMEA lines played when serial input is switched on (Marolin/nmea.log\n"
               "            in the working directory)\n",
               Or(data, "(none: neither XDG_DATA_HOME nor HOME is an absolute path)").c_str(),
               Or(settings, "(none: neither XDG_CONFIG_HOME nor HOME is an absolute path)").c_str(),
               Or(playback, "Marolin/nmea.log").c_str());
  std::fputs(kUsageTail, out);
}

void PrintVersion(FILE *out) { std::fprintf(out, "%s %s\n", kProductName, HostVersionText); }
