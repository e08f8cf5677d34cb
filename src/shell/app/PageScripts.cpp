#include "PageScripts.h"

#include <gio/gio.h>

#include "VeloraController.h"

extern "C" GResource* velora_shell_get_resource(void);

std::string PageScripts::text(const std::string& name) {
  std::string path = "/org/velora/desktop/" + name;
  GBytes* bytes =
      g_resource_lookup_data(velora_shell_get_resource(), path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (bytes == nullptr) {
    VeloraController::instance().logWarning("PageScripts::text no resource " + name);
    return "";
  }
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  std::string text(data, size);
  g_bytes_unref(bytes);
  return text;
}
