#include "HIDRemoteDBusNotificationCenter.h"

#include "SystemLog.h"

const char* const kHIDRemoteStatusNotification = "Status";
const char* const kHIDRemotePingNotification = "Ping";
const char* const kHIDRemoteRetryNotification = "Retry";

namespace {
const char* const kInterface = "org.velora.Desktop.RemoteControl";
const char* const kPath = "/org/velora/Desktop/RemoteControl";
}  // namespace

HIDRemoteDBusNotificationCenter::HIDRemoteDBusNotificationCenter(GDBusConnection* connection) {
  if (connection) {
    connection_ = G_DBUS_CONNECTION(g_object_ref(connection));
    triedSessionBus_ = true;
  }
}

HIDRemoteDBusNotificationCenter::~HIDRemoteDBusNotificationCenter() {
  if (connection_) {
    for (unsigned id : observers_) g_dbus_connection_signal_unsubscribe(connection_, id);
    g_object_unref(connection_);
  }
}

GDBusConnection* HIDRemoteDBusNotificationCenter::connection() {
  if (!triedSessionBus_) {
    triedSessionBus_ = true;
    GError* error = nullptr;
    connection_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!connection_) {
      writeSystemLog(
          "HIDRemoteDBusNotificationCenter::connection",
          std::string("No session bus for remote-control coordination: ") + (error ? error->message : "unknown error"));
      g_clear_error(&error);
    }
  }
  return connection_;
}

GVariant* HIDRemoteDBusNotificationCenter::toVariant(const HIDRemoteInfo& info) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  for (const auto& [key, value] : info) {
    GVariant* v = nullptr;
    if (const int64_t* number = std::get_if<int64_t>(&value)) {
      v = g_variant_new_int64(*number);
    } else if (const std::string* text = std::get_if<std::string>(&value)) {
      v = g_variant_new_string(text->c_str());
    } else {
      const auto& numbers = std::get<std::vector<int64_t>>(value);
      v = g_variant_new_fixed_array(G_VARIANT_TYPE_INT64, numbers.data(), numbers.size(), sizeof(int64_t));
    }
    g_variant_builder_add(&builder, "{sv}", key.c_str(), v);
  }
  return g_variant_builder_end(&builder);
}

HIDRemoteInfo HIDRemoteDBusNotificationCenter::fromVariant(GVariant* dictionary) {
  HIDRemoteInfo info;
  if (!dictionary || !g_variant_is_of_type(dictionary, G_VARIANT_TYPE("a{sv}"))) return info;
  GVariantIter iter;
  const gchar* key = nullptr;
  GVariant* value = nullptr;
  g_variant_iter_init(&iter, dictionary);
  while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT64)) {
      info[key] = int64_t{g_variant_get_int64(value)};
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32)) {
      info[key] = int64_t{g_variant_get_int32(value)};
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
      info[key] = int64_t{g_variant_get_uint32(value)};
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
      info[key] = std::string(g_variant_get_string(value, nullptr));
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE("ax"))) {
      gsize count = 0;
      const auto* numbers = static_cast<const int64_t*>(g_variant_get_fixed_array(value, &count, sizeof(int64_t)));
      info[key] = std::vector<int64_t>(numbers, numbers + count);
    }
    // Values of other types are not part of the protocol and are skipped.
    g_variant_unref(value);
  }
  return info;
}

void HIDRemoteDBusNotificationCenter::post(const std::string& name, const std::string& object,
                                           const HIDRemoteInfo& userInfo) {
  GDBusConnection* bus = connection();
  if (!bus) return;
  GError* error = nullptr;
  if (!g_dbus_connection_emit_signal(bus, nullptr, kPath, kInterface, name.c_str(),
                                     g_variant_new("(s@a{sv})", object.c_str(), toVariant(userInfo)), &error)) {
    writeSystemLog("HIDRemoteDBusNotificationCenter::post",
                   std::string("Unable to post ") + name + ": " + (error ? error->message : "unknown error"));
    g_clear_error(&error);
    return;
  }
  g_dbus_connection_flush_sync(bus, nullptr, nullptr);  // immediate delivery
}

unsigned HIDRemoteDBusNotificationCenter::observe(const std::string& name, const std::string& object, bool anyObject,
                                                  Observer observer) {
  GDBusConnection* bus = connection();
  if (!bus) return 0;
  // GDBus owns the observer and frees it once the subscription is gone and no
  // delivery still runs it, so an observer may remove itself.
  auto* held = new Observer(std::move(observer));
  unsigned id = g_dbus_connection_signal_subscribe(
      bus, nullptr, kInterface, name.c_str(), kPath, anyObject ? nullptr : object.c_str(), G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal, GVariant* parameters,
         gpointer data) {
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv})"))) return;
        Notification notification;
        notification.name = signal;
        const gchar* objectText = nullptr;
        GVariant* info = nullptr;
        g_variant_get(parameters, "(&s@a{sv})", &objectText, &info);
        notification.object = objectText;
        notification.userInfo = fromVariant(info);
        g_variant_unref(info);
        (*static_cast<Observer*>(data))(notification);
      },
      held, [](gpointer data) { delete static_cast<Observer*>(data); });
  observers_.insert(id);
  return id;
}

void HIDRemoteDBusNotificationCenter::removeObserver(unsigned id) {
  if (!observers_.erase(id)) return;
  g_dbus_connection_signal_unsubscribe(connection_, id);
}
