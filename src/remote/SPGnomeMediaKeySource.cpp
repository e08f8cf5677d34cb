#include "SPGnomeMediaKeySource.h"

#include <cstring>

#include "BusDaemonCall.h"
#include "SystemLog.h"

const char* const SPGnomeMediaKeySource::kBusName = "org.gnome.SettingsDaemon.MediaKeys";
const char* const SPGnomeMediaKeySource::kObjectPath = "/org/gnome/SettingsDaemon/MediaKeys";
const char* const SPGnomeMediaKeySource::kInterface = "org.gnome.SettingsDaemon.MediaKeys";

namespace {

// The daemon's names of the three keys we take.
int keyCodeOf(const char* key) {
  if (std::strcmp(key, "Play") == 0) return SPMediaKeyEvent::kKeyPlay;
  if (std::strcmp(key, "Next") == 0) return SPMediaKeyEvent::kKeyNext;
  if (std::strcmp(key, "Previous") == 0) return SPMediaKeyEvent::kKeyPrevious;
  return 0;
}

bool nameHasOwner(GDBusConnection* connection, const char* name) {
  GVariant* reply = callBusDaemon(connection, "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"));
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

}  // namespace

SPGnomeMediaKeySource::SPGnomeMediaKeySource(std::string applicationName, GDBusConnection* connection)
    : applicationName_(std::move(applicationName)),
      connection_(connection ? static_cast<GDBusConnection*>(g_object_ref(connection)) : nullptr) {}

SPGnomeMediaKeySource::~SPGnomeMediaKeySource() {
  close();
  if (connection_) g_object_unref(connection_);
}

bool SPGnomeMediaKeySource::open(KeyHandler keys, StateHandler states) {
  close();
  if (!connection_) connection_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!connection_ || !nameHasOwner(connection_, kBusName)) return false;
  keys_ = std::move(keys);
  states_ = std::move(states);
  cancellable_ = g_cancellable_new();
  subscription_ =
      g_dbus_connection_signal_subscribe(connection_, kBusName, kInterface, "MediaPlayerKeyPressed", kObjectPath,
                                         nullptr, G_DBUS_SIGNAL_FLAGS_NONE, keyPressed, this, nullptr);
  serviceGone_ = false;
  nameWatch_ = g_bus_watch_name_on_connection(connection_, kBusName, G_BUS_NAME_WATCHER_FLAGS_NONE, serviceAppeared,
                                              serviceVanished, this, nullptr);
  setEnabled(true);
  return true;
}

void SPGnomeMediaKeySource::serviceVanished(GDBusConnection*, const gchar*, gpointer self) {
  auto* source = static_cast<SPGnomeMediaKeySource*>(self);
  if (source->serviceGone_) return;
  source->serviceGone_ = true;
  writeSystemLog("SPGnomeMediaKeySource::serviceVanished", std::string("The media-key service ") + kBusName +
                                                               " left the session bus; the keys are taken "
                                                               "again when it returns");
  if (source->enabled_ && source->states_) source->states_(kKeysHeldElsewhere);
}

void SPGnomeMediaKeySource::serviceAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer self) {
  auto* source = static_cast<SPGnomeMediaKeySource*>(self);
  if (!source->serviceGone_) return;  // the first sighting: the keys were asked for at open
  source->serviceGone_ = false;
  if (source->enabled_) source->grab();
}

void SPGnomeMediaKeySource::call(const char* method, GVariant* parameters, GAsyncReadyCallback done) {
  g_dbus_connection_call(connection_, kBusName, kObjectPath, kInterface, method, parameters, nullptr,
                         G_DBUS_CALL_FLAGS_NONE, -1, done ? cancellable_ : nullptr, done, this);
}

void SPGnomeMediaKeySource::grab() {
  if (serviceGone_) {  // asked for again when the daemon returns
    if (states_) states_(kKeysHeldElsewhere);
    return;
  }
  // Time 0: the daemon takes the moment of the call.
  call("GrabMediaPlayerKeys", g_variant_new("(su)", applicationName_.c_str(), 0u), grabAnswered);
}

void SPGnomeMediaKeySource::grabAnswered(GObject* connection, GAsyncResult* result, gpointer self) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, &error);
  if (reply) g_variant_unref(reply);
  if (error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {  // closed meanwhile: self is gone
    g_error_free(error);
    return;
  }
  auto* source = static_cast<SPGnomeMediaKeySource*>(self);
  if (error) {
    writeSystemLog("SPGnomeMediaKeySource::grab", std::string("GrabMediaPlayerKeys failed: ") + error->message);
    g_error_free(error);
    if (source->states_) source->states_(kUnusable);
    return;
  }
  if (source->enabled_ && source->states_) source->states_(kKeysTaken);
}

void SPGnomeMediaKeySource::setEnabled(bool enabled) {
  if (!cancellable_) return;
  enabled_ = enabled;
  if (enabled) {
    grab();
    return;
  }
  call("ReleaseMediaPlayerKeys", g_variant_new("(s)", applicationName_.c_str()), nullptr);
  if (states_) states_(kKeysGivenBack);
}

void SPGnomeMediaKeySource::applicationCameToFront() {
  if (cancellable_ && enabled_) grab();
}

void SPGnomeMediaKeySource::keyPressed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                       GVariant* parameters, gpointer self) {
  auto* source = static_cast<SPGnomeMediaKeySource*>(self);
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ss)"))) return;
  const gchar* application = nullptr;
  const gchar* key = nullptr;
  g_variant_get(parameters, "(&s&s)", &application, &key);
  if (!source->enabled_ || source->applicationName_ != application || !source->keys_) return;
  int code = keyCodeOf(key);
  if (!code) return;
  source->keys_(SPMediaKeyEvent::make(code, true));
  source->keys_(SPMediaKeyEvent::make(code, false));
}

void SPGnomeMediaKeySource::close() {
  if (!cancellable_) return;
  if (enabled_) call("ReleaseMediaPlayerKeys", g_variant_new("(s)", applicationName_.c_str()), nullptr);
  enabled_ = false;
  g_bus_unwatch_name(nameWatch_);
  nameWatch_ = 0;
  g_dbus_connection_signal_unsubscribe(connection_, subscription_);
  subscription_ = 0;
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
  cancellable_ = nullptr;
  keys_ = nullptr;
  states_ = nullptr;
}
