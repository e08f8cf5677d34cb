#include "FileManagerReveal.h"

#include <gio/gio.h>

#include "ExternalProgram.h"
#include "VLLogger.h"

namespace {

const int kShowItemsTimeoutMs = 5000;

void shown(GObject* source, GAsyncResult* result, gpointer data) {
  std::string* path = static_cast<std::string*>(data);
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply) {
    g_variant_unref(reply);
  } else {
    VL_LOG_INFO("No file manager on the session bus (" << error->message << "), opening the folder instead");
    g_error_free(error);
    FileManagerReveal::openContainingFolder(*path);
  }
  delete path;
}

}  // namespace

void FileManagerReveal::reveal(const std::string& path) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    VL_LOG_INFO("No session bus (" << error->message << "), opening the folder instead");
    g_error_free(error);
    openContainingFolder(path);
    return;
  }
  gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  const gchar* uris[] = {uri ? uri : "", nullptr};
  g_dbus_connection_call(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                         "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
                         G_DBUS_CALL_FLAGS_NONE, kShowItemsTimeoutMs, nullptr, &shown, new std::string(path));
  g_free(uri);
  g_object_unref(bus);
}

void FileManagerReveal::openContainingFolder(const std::string& path) {
  gchar* folder = g_path_get_dirname(path.c_str());
  gchar* uri = g_filename_to_uri(folder, nullptr, nullptr);
  std::string error = "no address";
  if (!uri || !ExternalProgram::openAddress(nullptr, uri, error)) {
    VL_LOG_WARN("The folder " << folder << " cannot be opened: " << error);
  }
  g_free(uri);
  g_free(folder);
}
