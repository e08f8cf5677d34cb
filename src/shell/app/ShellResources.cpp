#include "ShellResources.h"

#include <gio/gio.h>

// Made by glib-compile-resources from src/shell/resources (see CMakeLists.txt).
extern "C" GResource* velora_shell_get_resource(void);

bool ShellResources::read(const std::string& name, std::string& contents) {
  // Naming the bundle keeps it linked in, and registered, from the static library.
  static GResource* bundle = velora_shell_get_resource();
  GBytes* bytes = g_resource_lookup_data(bundle, (std::string(kRoot) + name).c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE,
                                         nullptr);
  if (bytes == nullptr) return false;
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  contents.assign(data != nullptr ? data : "", size);
  g_bytes_unref(bytes);
  return true;
}
