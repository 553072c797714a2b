// Child processes for the location tests: dbus-daemon with a configuration of its own
// (no service activation, everything allowed) and the Python stand-in for GeoClue2.
#include "tests/support/geoclue_stub.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

extern char **environ;

namespace {

// Starts argv with its stdout on a pipe and returns the first line it prints (without
// the line end); empty if it ends first. quiet sends its stderr to /dev/null.
std::string SpawnAndReadLine(const std::vector<std::string> &args, pid_t &pid, bool quiet) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  posix_spawn_file_actions_addclose(&fa, fds[1]);
  if (quiet) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  std::string line;
  if (rc != 0) {
    pid = -1;
  } else {
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  }
  close(fds[0]);
  return line;
}

void EndChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status;
  waitpid(pid, &status, 0);
}

struct VariantUnref {
  void operator()(GVariant *v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

// One call to the stub on a connection of its own; empty on failure.
Variant StubCall(const std::string &address, const char *path, const char *iface,
                 const char *method, GVariant *args, const GVariantType *reply) {
  GError *err = nullptr;
  GDBusConnection *c = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &err);
  if (!c) {
    g_error_free(err);
    if (args) g_variant_unref(g_variant_ref_sink(args));
    return nullptr;
  }
  GVariant *r = g_dbus_connection_call_sync(c, "org.freedesktop.GeoClue2", path, iface, method,
                                            args, reply, G_DBUS_CALL_FLAGS_NONE, 10000,
                                            nullptr, &err);
  if (err) g_error_free(err);
  g_dbus_connection_close_sync(c, nullptr, nullptr);
  g_object_unref(c);
  return Variant(r);
}

constexpr char kManagerPath[] = "/org/freedesktop/GeoClue2/Manager";
constexpr char kClientPath[] = "/org/freedesktop/GeoClue2/Client/1";
constexpr char kTestIface[] = "org.marolin.test.GeoClueStub";

}  // namespace

PrivateBus::PrivateBus() {
  char tmpl[] = "/tmp/marolin-bus-XXXXXX";
  if (!mkdtemp(tmpl)) return;
  dir_ = tmpl;
  std::string config = dir_ + "/bus.conf";
  std::ofstream(config)
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>session</type>\n"
         "  <listen>unix:path=" << dir_ << "/bus</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n"
         "    <allow own=\"*\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
  address_ = SpawnAndReadLine({"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork",
                               "--print-address=1"},
                              pid_, true);
}

PrivateBus::~PrivateBus() {
  EndChild(pid_);
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

GeoClueStub::GeoClueStub(const std::string &busAddress, const StubPosition &p)
    : address_(busAddress) {
  char num[5][32];
  std::snprintf(num[0], sizeof num[0], "%.17g", p.latitude);
  std::snprintf(num[1], sizeof num[1], "%.17g", p.longitude);
  std::snprintf(num[2], sizeof num[2], "%.17g", p.accuracy);
  std::snprintf(num[3], sizeof num[3], "%llu", static_cast<unsigned long long>(p.seconds));
  std::snprintf(num[4], sizeof num[4], "%llu", static_cast<unsigned long long>(p.microseconds));
  // The script sits beside this file; the system interpreter is the one that has the
  // GObject bindings.
  std::string script = std::filesystem::path(__FILE__).parent_path() / "geoclue_stub.py";
  ready_ = SpawnAndReadLine({"/usr/bin/python3", script, busAddress, num[0], num[1], num[2],
                             num[3], num[4]},
                            pid_, false) == "ready";
}

GeoClueStub::~GeoClueStub() { EndChild(pid_); }

bool GeoClueStub::Move(const StubPosition &p) {
  return StubCall(address_, kManagerPath, kTestIface, "Move",
                  g_variant_new("(dddtt)", p.latitude, p.longitude, p.accuracy,
                                static_cast<guint64>(p.seconds),
                                static_cast<guint64>(p.microseconds)),
                  nullptr) != nullptr;
}

bool GeoClueStub::DenyStart() {
  return StubCall(address_, kManagerPath, kTestIface, "DenyStart", nullptr, nullptr) != nullptr;
}

std::string GeoClueStub::ClientProperty(const char *name) {
  Variant r = StubCall(address_, kClientPath, "org.freedesktop.DBus.Properties", "Get",
                       g_variant_new("(ss)", "org.freedesktop.GeoClue2.Client", name),
                       G_VARIANT_TYPE("(v)"));
  if (!r) return {};
  Variant v(g_variant_get_child_value(r.get(), 0));
  Variant inner(g_variant_get_variant(v.get()));
  gchar *text = g_variant_print(inner.get(), TRUE);
  std::string s(text);
  g_free(text);
  return s;
}
