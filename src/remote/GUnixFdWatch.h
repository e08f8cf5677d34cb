#pragma once

#include <glib-unix.h>

// Watches a descriptor for input on the given main context (GLib's
// g_unix_fd_add only serves the global default context). Returns the source,
// owned by the caller (g_source_destroy + g_source_unref to remove it).
inline GSource* attachFdWatch(GMainContext* context, int fd, GUnixFDSourceFunc callback, gpointer data) {
  GSource* source = g_unix_fd_source_new(fd, G_IO_IN);
  // A unix-fd source calls a GUnixFDSourceFunc through the generic slot.
  g_source_set_callback(source, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(callback)), data, nullptr);
  g_source_attach(source, context);
  return source;
}
