#pragma once

#include <gio/gio.h>

// Calls a method of the message bus itself (org.freedesktop.DBus) and waits
// for the answer: the reply, owned by the caller, or null on any failure.
inline GVariant* callBusDaemon(GDBusConnection* connection, const char* method, GVariant* parameters,
                               const GVariantType* replyType) {
  return g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", method, parameters, replyType, G_DBUS_CALL_FLAGS_NONE, -1,
                                     nullptr, nullptr);
}
