#include "HIDRemoteLogindSession.h"

#include <unistd.h>

#include <cstdlib>

#include "SystemLog.h"

namespace {
const char* const kLogind = "org.freedesktop.login1";
const char* const kManagerPath = "/org/freedesktop/login1";
const char* const kManagerInterface = "org.freedesktop.login1.Manager";
const char* const kSessionInterface = "org.freedesktop.login1.Session";
const char* const kProperties = "org.freedesktop.DBus.Properties";

bool cancelled(const GError* error) {
  return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
}
}  // namespace

HIDRemoteLogindSession::HIDRemoteLogindSession(GDBusConnection* connection)
    : connection_(connection ? G_DBUS_CONNECTION(g_object_ref(connection)) : nullptr) {}

HIDRemoteLogindSession::~HIDRemoteLogindSession() {
  stopWatching();
  if (connection_) g_object_unref(connection_);
}

void HIDRemoteLogindSession::startWatching(ActiveHandler changed) {
  stopWatching();
  changed_ = std::move(changed);
  active_ = true;
  cancellable_ = g_cancellable_new();
  if (connection_) {
    findSession();
  } else {
    // Asked without waiting: a missing system bus must not hold up the remote.
    g_bus_get(G_BUS_TYPE_SYSTEM, cancellable_, busReady, this);
  }
}

void HIDRemoteLogindSession::stopWatching() {
  if (!cancellable_) return;
  g_cancellable_cancel(cancellable_);  // answers on their way find it cancelled: self is not touched
  g_object_unref(cancellable_);
  cancellable_ = nullptr;
  if (subscription_) g_dbus_connection_signal_unsubscribe(connection_, subscription_);
  subscription_ = 0;
  changed_ = nullptr;
}

void HIDRemoteLogindSession::logFailure(const char* step, const GError* error) {
  if (failureLogged_) return;
  failureLogged_ = true;
  writeSystemLog("HIDRemoteLogindSession", std::string("Cannot follow this login session (") + step +
                                               "): " + (error ? error->message : "no answer") +
                                               "; the remote is kept while the session is in the background");
}

void HIDRemoteLogindSession::busReady(GObject*, GAsyncResult* result, gpointer data) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_finish(result, &error);
  if (!bus) {
    if (!cancelled(error)) static_cast<HIDRemoteLogindSession*>(data)->logFailure("system bus", error);
    g_error_free(error);
    return;
  }
  auto* self = static_cast<HIDRemoteLogindSession*>(data);
  if (!self->cancellable_ || g_cancellable_is_cancelled(self->cancellable_)) {
    g_object_unref(bus);
    return;
  }
  self->connection_ = bus;
  self->findSession();
}

void HIDRemoteLogindSession::findSession() {
  const char* id = std::getenv("XDG_SESSION_ID");
  bool named = id && *id;
  g_dbus_connection_call(connection_, kLogind, kManagerPath, kManagerInterface,
                         named ? "GetSession" : "GetSessionByPID",
                         named ? g_variant_new("(s)", id) : g_variant_new("(u)", static_cast<guint32>(getpid())),
                         G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1, cancellable_, sessionFound, this);
}

// The answer to a call, or null after logging its failure. A cancelled call
// belongs to a watch that has stopped (its object may be gone): not touched.
GVariant* HIDRemoteLogindSession::answerOf(GObject* connection, GAsyncResult* result, gpointer self, const char* step) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, &error);
  if (reply) return reply;
  if (!cancelled(error)) static_cast<HIDRemoteLogindSession*>(self)->logFailure(step, error);
  g_error_free(error);
  return nullptr;
}

void HIDRemoteLogindSession::sessionFound(GObject* connection, GAsyncResult* result, gpointer data) {
  GVariant* reply = answerOf(connection, result, data, "the session");
  if (!reply) return;
  const gchar* path = nullptr;
  g_variant_get(reply, "(&o)", &path);
  static_cast<HIDRemoteLogindSession*>(data)->watchSession(path);
  g_variant_unref(reply);
}

void HIDRemoteLogindSession::watchSession(const std::string& path) {
  subscription_ =
      g_dbus_connection_signal_subscribe(connection_, kLogind, kProperties, "PropertiesChanged", path.c_str(),
                                         kSessionInterface, G_DBUS_SIGNAL_FLAGS_NONE, propertiesChanged, this, nullptr);
  readActive(path);  // after subscribing: a change in between is not lost
}

void HIDRemoteLogindSession::readActive(const std::string& path) {
  g_dbus_connection_call(connection_, kLogind, path.c_str(), kProperties, "Get",
                         g_variant_new("(ss)", kSessionInterface, "Active"), G_VARIANT_TYPE("(v)"),
                         G_DBUS_CALL_FLAGS_NONE, -1, cancellable_, activeRead, this);
}

void HIDRemoteLogindSession::activeRead(GObject* connection, GAsyncResult* result, gpointer data) {
  GVariant* reply = answerOf(connection, result, data, "its state");
  if (!reply) return;
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
    static_cast<HIDRemoteLogindSession*>(data)->activeIs(g_variant_get_boolean(value));
  }
  g_variant_unref(value);
  g_variant_unref(reply);
}

void HIDRemoteLogindSession::propertiesChanged(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                                               const gchar*, GVariant* parameters, gpointer data) {
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) return;
  auto* self = static_cast<HIDRemoteLogindSession*>(data);
  GVariant* changed = g_variant_get_child_value(parameters, 1);
  gboolean active = FALSE;
  if (g_variant_lookup(changed, "Active", "b", &active)) {
    self->activeIs(active);
  } else {
    // Announced without its value: read it.
    const gchar** invalidated = nullptr;
    g_variant_get_child(parameters, 2, "^a&s", &invalidated);
    for (const gchar** name = invalidated; name && *name; ++name) {
      if (g_strcmp0(*name, "Active") == 0) self->readActive(path);
    }
    g_free(invalidated);
  }
  g_variant_unref(changed);
}

void HIDRemoteLogindSession::activeIs(bool active) {
  if (active == active_) return;
  active_ = active;
  if (changed_) changed_(active);
}
