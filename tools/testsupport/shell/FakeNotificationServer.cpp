#include "FakeNotificationServer.h"

#include <gio/gio.h>

FakeNotificationServer::FakeNotificationServer(const std::string& busAddress)
    : busAddress_(busAddress), thread_([this] { run(); }) {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait(lock, [this] { return owned_ || failed_; });
}

FakeNotificationServer::~FakeNotificationServer() {
  g_main_loop_quit(loop_);
  thread_.join();
}

std::vector<FakeNotificationServer::Notification> FakeNotificationServer::notifications() {
  std::lock_guard<std::mutex> lock(mutex_);
  return notifications_;
}

void FakeNotificationServer::run() {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  loop_ = g_main_loop_new(context, FALSE);
  gchar* address = busAddress_.empty() ? g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)
                                       : g_strdup(busAddress_.c_str());
  GDBusConnection* connection =
      address == nullptr ? nullptr
                         : g_dbus_connection_new_for_address_sync(
                               address,
                               static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                               nullptr, nullptr, nullptr);
  g_free(address);
  if (connection != nullptr) {
    static const char* xml =
        "<node><interface name='org.freedesktop.Notifications'>"
        "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='as' direction='in'/><arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
        "<arg type='u' direction='out'/></method>"
        "<method name='GetCapabilities'><arg type='as' direction='out'/></method>"
        "<method name='GetServerInformation'><arg type='s' direction='out'/><arg type='s' direction='out'/>"
        "<arg type='s' direction='out'/><arg type='s' direction='out'/></method>"
        "<method name='CloseNotification'><arg type='u' direction='in'/></method>"
        "</interface></node>";
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(xml, nullptr);
    static const GDBusInterfaceVTable vtable = {onCall, nullptr, nullptr, {nullptr}};
    g_dbus_connection_register_object(connection, "/org/freedesktop/Notifications", info->interfaces[0], &vtable, this,
                                      nullptr, nullptr);
    g_dbus_node_info_unref(info);
    GVariant* reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.Notifications", 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    guint32 result = 0;
    if (reply != nullptr) {
      g_variant_get(reply, "(u)", &result);
      g_variant_unref(reply);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    owned_ = result == 1;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = !owned_;
  }
  ready_.notify_all();
  if (owned_) g_main_loop_run(loop_);
  if (connection != nullptr) {
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
  }
  g_main_loop_unref(loop_);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
}

void FakeNotificationServer::onCall(GDBusConnection*, const char*, const char*, const char*, const char* method,
                                    GVariant* parameters, GDBusMethodInvocation* invocation, void* data) {
  auto* self = static_cast<FakeNotificationServer*>(data);
  if (g_strcmp0(method, "Notify") == 0) {
    const gchar *summary = nullptr, *body = nullptr;
    guint32 replaces = 0;
    g_variant_get_child(parameters, 1, "u", &replaces);
    g_variant_get_child(parameters, 3, "&s", &summary);
    g_variant_get_child(parameters, 4, "&s", &body);
    GVariant* hints = g_variant_get_child_value(parameters, 6);
    bool hasImage = false;
    gint32 width = 0, height = 0;
    for (const char* name : {"image-data", "image_data"}) {
      GVariant* image = g_variant_lookup_value(hints, name, G_VARIANT_TYPE("(iiibiiay)"));
      if (image == nullptr) continue;
      hasImage = true;
      g_variant_get_child(image, 0, "i", &width);
      g_variant_get_child(image, 1, "i", &height);
      g_variant_unref(image);
    }
    g_variant_unref(hints);
    guint32 id = 0;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->notifications_.push_back(Notification{replaces, summary, body, hasImage, width, height});
      id = replaces != 0 ? replaces : static_cast<guint32>(self->notifications_.size());
    }
    if (self->answerDelay_ > 0) g_usleep(self->answerDelay_ * 1000ul);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", id));
  } else if (g_strcmp0(method, "GetCapabilities") == 0) {
    const gchar* caps[] = {"body", "body-markup", nullptr};
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", caps));
  } else if (g_strcmp0(method, "GetServerInformation") == 0) {
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(ssss)", "fake", "test", "1", "1.2"));
  } else {
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }
}
