#include "FakeGlobalShortcutsPortal.h"

#include <gio/gio.h>

namespace {

constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";

std::string senderPart(const char* sender) {
  std::string name = sender + 1;
  for (char& c : name) {
    if (c == '.') c = '_';
  }
  return name;
}

std::string token(GVariant* options, const char* key) {
  const char* value = nullptr;
  return g_variant_lookup(options, key, "&s", &value) ? value : "";
}

}  // namespace

FakeGlobalShortcutsPortal::FakeGlobalShortcutsPortal(Outcome outcome) : outcome_(outcome) {
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  connection_ = address == nullptr
                    ? nullptr
                    : g_dbus_connection_new_for_address_sync(
                          address,
                          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                          nullptr, nullptr, nullptr);
  g_free(address);
  if (connection_ == nullptr) return;
  static const char* xml =
      "<node><interface name='org.freedesktop.portal.GlobalShortcuts'>"
      "<method name='CreateSession'><arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>"
      "<method name='BindShortcuts'><arg type='o' direction='in'/><arg type='a(sa{sv})' direction='in'/>"
      "<arg type='s' direction='in'/><arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>"
      "<signal name='Activated'><arg type='o'/><arg type='s'/><arg type='t'/><arg type='a{sv}'/></signal>"
      "</interface></node>";
  GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(xml, nullptr);
  static const GDBusInterfaceVTable vtable = {onCall, nullptr, nullptr, {nullptr}};
  registration_ =
      g_dbus_connection_register_object(connection_, kPath, info->interfaces[0], &vtable, this, nullptr, nullptr);
  g_dbus_node_info_unref(info);
  GVariant* reply = g_dbus_connection_call_sync(
      connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", "org.freedesktop.portal.Desktop", 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
  guint32 result = 0;
  if (reply != nullptr) {
    g_variant_get(reply, "(u)", &result);
    g_variant_unref(reply);
  }
  owned_ = result == 1;
}

FakeGlobalShortcutsPortal::~FakeGlobalShortcutsPortal() {
  if (connection_ == nullptr) return;
  if (registration_ != 0) g_dbus_connection_unregister_object(connection_, registration_);
  g_dbus_connection_close_sync(connection_, nullptr, nullptr);
  g_object_unref(connection_);
}

void FakeGlobalShortcutsPortal::onCall(GDBusConnection*, const char* sender, const char*, const char*,
                                       const char* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                                       void* data) {
  auto* self = static_cast<FakeGlobalShortcutsPortal*>(data);
  if (g_strcmp0(method, "CreateSession") == 0) {
    GVariant* options = g_variant_get_child_value(parameters, 0);
    self->session_ =
        std::string(kPath) + "/session/" + senderPart(sender) + "/" + token(options, "session_handle_token");
    GVariantBuilder results;
    g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&results, "{sv}", "session_handle", g_variant_new_string(self->session_.c_str()));
    self->respond(sender, token(options, "handle_token"), g_variant_builder_end(&results), invocation);
    g_variant_unref(options);
    return;
  }
  // BindShortcuts
  GVariant* shortcuts = g_variant_get_child_value(parameters, 1);
  GVariant* options = g_variant_get_child_value(parameters, 3);
  GVariantIter iter;
  g_variant_iter_init(&iter, shortcuts);
  const char* id = nullptr;
  GVariant* properties = nullptr;
  while (g_variant_iter_next(&iter, "(&s@a{sv})", &id, &properties)) {
    self->bound_.push_back(std::string(id) + "=" + token(properties, "preferred_trigger"));
    g_variant_unref(properties);
  }
  GVariantBuilder results;
  g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
  self->respond(sender, token(options, "handle_token"), g_variant_builder_end(&results), invocation);
  g_variant_unref(options);
  g_variant_unref(shortcuts);
}

// The call's answer is its request object; the outcome follows as that
// object's Response signal, to the caller.
void FakeGlobalShortcutsPortal::respond(const char* sender, const std::string& handleToken, GVariant* results,
                                        GDBusMethodInvocation* invocation) {
  std::string request = std::string(kPath) + "/request/" + senderPart(sender) + "/" + handleToken;
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));
  if (outcome_ == Outcome::Never) {
    g_variant_unref(g_variant_ref_sink(results));
    return;
  }
  g_dbus_connection_emit_signal(connection_, sender, request.c_str(), "org.freedesktop.portal.Request", "Response",
                                g_variant_new("(u@a{sv})", 0u, results), nullptr);
}

void FakeGlobalShortcutsPortal::activate(const std::string& shortcut, unsigned long long time) {
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_dbus_connection_emit_signal(
      connection_, nullptr, kPath, kInterface, "Activated",
      g_variant_new("(osta{sv})", session_.c_str(), shortcut.c_str(), static_cast<guint64>(time), &options), nullptr);
}
