// GeoClue2 client over GIO's D-Bus API. The connection is private to the location object
// and every call is synchronous, so the polling thread needs no main loop of its own.
#include "platform/location.h"

#include <gio/gio.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr char kService[] = "org.freedesktop.GeoClue2";
constexpr char kManagerPath[] = "/org/freedesktop/GeoClue2/Manager";
constexpr char kManagerIface[] = "org.freedesktop.GeoClue2.Manager";
constexpr char kClientIface[] = "org.freedesktop.GeoClue2.Client";
constexpr char kLocationIface[] = "org.freedesktop.GeoClue2.Location";
constexpr char kPropertiesIface[] = "org.freedesktop.DBus.Properties";
constexpr char kDesktopId[] = "marolin";
constexpr guint32 kAccuracyExact = 8;

// Setting up may wait for the service's activation and for the user's consent; a poll
// holds up the exit-time release while it runs, so it gets a short bound.
constexpr int kSetupTimeoutMs = 25000;
constexpr int kPollTimeoutMs = 2000;

constexpr uint64_t kTicksPerMicrosecond = 10ULL;

struct VariantUnref {
  void operator()(GVariant *v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

struct ConnectionClose {
  void operator()(GDBusConnection *c) const {
    // The service drops our client when the connection goes away.
    g_dbus_connection_close_sync(c, nullptr, nullptr);
    g_object_unref(c);
  }
};
using Connection = std::unique_ptr<GDBusConnection, ConnectionClose>;

// One method call to the service; empty on any failure. A floating args is consumed.
Variant Call(GDBusConnection *c, const char *path, const char *iface, const char *method,
             GVariant *args, const GVariantType *reply, int timeoutMs) {
  GError *err = nullptr;
  GVariant *r = g_dbus_connection_call_sync(c, kService, path, iface, method, args, reply,
                                            G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &err);
  if (err) g_error_free(err);
  return Variant(r);
}

bool SetClientProperty(GDBusConnection *c, const std::string &client, const char *name,
                       GVariant *value, int timeoutMs) {
  return Call(c, client.c_str(), kPropertiesIface, "Set",
              g_variant_new("(ssv)", kClientIface, name, value), nullptr, timeoutMs) != nullptr;
}

class GeoClueLocation final : public LocationService {
 public:
  GeoClueLocation(Connection conn, std::string client)
      : conn_(std::move(conn)), client_(std::move(client)) {}

  bool SetDesiredAccuracy() override {
    // The client keeps its level and stays started; asking again changes nothing.
    if (started_) return true;
    if (!SetClientProperty(conn_.get(), client_, "RequestedAccuracyLevel",
                           g_variant_new_uint32(kAccuracyExact), kSetupTimeoutMs))
      return false;
    started_ = Call(conn_.get(), client_.c_str(), kClientIface, "Start", nullptr, nullptr,
                    kSetupTimeoutMs) != nullptr;
    return started_;
  }

  bool GetReport(LatLongReport &report) override {
    // The client names its current location object; each update brings a new one.
    Variant reply = Call(conn_.get(), client_.c_str(), kPropertiesIface, "Get",
                         g_variant_new("(ss)", kClientIface, "Location"),
                         G_VARIANT_TYPE("(v)"), kPollTimeoutMs);
    if (!reply) return false;
    Variant path(g_variant_get_child_value(reply.get(), 0));
    Variant inner(g_variant_get_variant(path.get()));
    if (!g_variant_is_of_type(inner.get(), G_VARIANT_TYPE_OBJECT_PATH)) return false;
    const char *location = g_variant_get_string(inner.get(), nullptr);
    if (std::strcmp(location, "/") == 0) return false;  // no position yet

    Variant all = Call(conn_.get(), location, kPropertiesIface, "GetAll",
                       g_variant_new("(s)", kLocationIface), G_VARIANT_TYPE("(a{sv})"),
                       kPollTimeoutMs);
    if (!all) return false;
    Variant props(g_variant_get_child_value(all.get(), 0));
    LatLongReport r;
    guint64 seconds = 0, microseconds = 0;
    if (!g_variant_lookup(props.get(), "Latitude", "d", &r.latitude) ||
        !g_variant_lookup(props.get(), "Longitude", "d", &r.longitude) ||
        !g_variant_lookup(props.get(), "Accuracy", "d", &r.errorRadius) ||
        !g_variant_lookup(props.get(), "Timestamp", "(tt)", &seconds, &microseconds))
      return false;
    r.timestamp = UnixToFileTime(seconds, microseconds);
    report = r;
    return true;
  }

 private:
  Connection conn_;
  std::string client_;
  bool started_ = false;
};

}  // namespace

uint64_t UnixToFileTime(uint64_t seconds, uint64_t microseconds) {
  return kFileTimeUnixEpoch + seconds * kFileTimeTicksPerSecond + microseconds * kTicksPerMicrosecond;
}

std::unique_ptr<LocationService> LocationServiceCreate() {
  GError *err = nullptr;
  gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &err);
  if (!address) {
    g_error_free(err);
    return nullptr;
  }
  // A connection of our own rather than the shared one: it is closed with the object,
  // and the bus going away does not end the process.
  GDBusConnection *raw = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &err);
  g_free(address);
  if (!raw) {
    g_error_free(err);
    return nullptr;
  }
  Connection conn(raw);
  g_dbus_connection_set_exit_on_close(conn.get(), FALSE);

  Variant reply = Call(conn.get(), kManagerPath, kManagerIface, "GetClient", nullptr,
                       G_VARIANT_TYPE("(o)"), kSetupTimeoutMs);
  if (!reply) return nullptr;
  const char *path = nullptr;
  g_variant_get(reply.get(), "(&o)", &path);
  std::string client(path);
  if (!SetClientProperty(conn.get(), client, "DesktopId", g_variant_new_string(kDesktopId),
                         kSetupTimeoutMs))
    return nullptr;
  return std::make_unique<GeoClueLocation>(std::move(conn), std::move(client));
}
