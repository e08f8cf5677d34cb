#pragma once
// The desktop's settings daemon as the media-key tap meets it on the session
// bus, on a connection of its own: it records the grabs and releases it is
// asked for, keeps the players that asked in the order it would hand them the
// keys (the latest grab first), and sends key presses. Destroying it takes
// its name off the bus.

#include <gio/gio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SPGnomeMediaKeySource.h"

class FakeSettingsDaemon {
 public:
  FakeSettingsDaemon() : connection_(connectToSessionBus()) {
    static const char* xml =
        "<node><interface name='org.gnome.SettingsDaemon.MediaKeys'>"
        "<method name='GrabMediaPlayerKeys'><arg type='s' direction='in'/><arg type='u' direction='in'/></method>"
        "<method name='ReleaseMediaPlayerKeys'><arg type='s' direction='in'/></method>"
        "<signal name='MediaPlayerKeyPressed'><arg type='s'/><arg type='s'/></signal>"
        "</interface></node>";
    node_ = g_dbus_node_info_new_for_xml(xml, nullptr);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant* parameters,
           GDBusMethodInvocation* invocation, gpointer self) {
          const gchar* application = nullptr;
          g_variant_get_child(parameters, 0, "&s", &application);
          static_cast<FakeSettingsDaemon*>(self)->called(method, application);
          g_dbus_method_invocation_return_value(invocation, nullptr);
        },
        nullptr,
        nullptr,
        {}};
    registration_ = g_dbus_connection_register_object(connection_, SPGnomeMediaKeySource::kObjectPath,
                                                      node_->interfaces[0], &vtable, this, nullptr, nullptr);
    owner_ = g_bus_own_name_on_connection(connection_, SPGnomeMediaKeySource::kBusName, G_BUS_NAME_OWNER_FLAGS_NONE,
                                          nullptr, nullptr, nullptr, nullptr);
  }
  ~FakeSettingsDaemon() {
    g_bus_unown_name(owner_);
    g_dbus_connection_unregister_object(connection_, registration_);
    g_dbus_node_info_unref(node_);
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
  FakeSettingsDaemon(const FakeSettingsDaemon&) = delete;
  FakeSettingsDaemon& operator=(const FakeSettingsDaemon&) = delete;

  void press(const char* application, const char* key) {
    g_dbus_connection_emit_signal(connection_, nullptr, SPGnomeMediaKeySource::kObjectPath,
                                  SPGnomeMediaKeySource::kInterface, "MediaPlayerKeyPressed",
                                  g_variant_new("(ss)", application, key), nullptr);
  }
  // The player the keys go to now; empty when nobody asked.
  std::string holder() const { return players_.empty() ? "" : players_.front(); }

  // Another player on the bus asks for the keys; the answer comes through
  // the main loop (the daemon answers there too).
  static void grabFromAnotherClient(const char* application) {
    GDBusConnection* other = connectToSessionBus();
    g_dbus_connection_call(
        other, SPGnomeMediaKeySource::kBusName, SPGnomeMediaKeySource::kObjectPath, SPGnomeMediaKeySource::kInterface,
        "GrabMediaPlayerKeys", g_variant_new("(su)", application, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
        [](GObject* connection, GAsyncResult* result, gpointer) {
          GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, nullptr);
          if (reply) g_variant_unref(reply);
          g_object_unref(connection);
        },
        nullptr);
  }

  std::vector<std::string> calls;  // "<method> <application>", in order

 private:
  static GDBusConnection* connectToSessionBus() {
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_free(address);
    return connection;
  }
  void called(const std::string& method, const std::string& application) {
    calls.push_back(method + " " + application);
    players_.erase(std::remove(players_.begin(), players_.end(), application), players_.end());
    if (method == "GrabMediaPlayerKeys") players_.insert(players_.begin(), application);
  }

  GDBusConnection* connection_;
  GDBusNodeInfo* node_;
  guint registration_ = 0, owner_ = 0;
  std::vector<std::string> players_;
};
