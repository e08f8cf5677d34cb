#include "ExternalProgram.h"

#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <unistd.h>

namespace {

// The application set for the address: by scheme, or for a file by its type.
GAppInfo* handlerOf(const std::string& address, std::string& error) {
  gchar* scheme = g_uri_parse_scheme(address.c_str());
  GAppInfo* handler = nullptr;
  if (scheme == nullptr) {
    error = "not an address";
  } else if (g_ascii_strcasecmp(scheme, "file") == 0) {
    GFile* file = g_file_new_for_uri(address.c_str());
    GError* failure = nullptr;
    handler = g_file_query_default_handler(file, nullptr, &failure);
    if (handler == nullptr) {
      error = failure->message;
      g_error_free(failure);
    }
    g_object_unref(file);
  } else {
    handler = g_app_info_get_default_for_uri_scheme(scheme);
    if (handler == nullptr) error = std::string("no application is set for ") + scheme + " addresses";
  }
  g_free(scheme);
  return handler;
}

}  // namespace

bool ExternalProgram::openAddress(GtkWindow* parent, const std::string& address, std::string& error) {
  GAppInfo* handler = handlerOf(address, error);
  if (handler == nullptr) return false;
  GdkDisplay* display = parent != nullptr ? gtk_widget_get_display(GTK_WIDGET(parent)) : gdk_display_get_default();
  GAppLaunchContext* context = display != nullptr ? G_APP_LAUNCH_CONTEXT(gdk_display_get_app_launch_context(display))
                                                  : g_app_launch_context_new();
  GList addresses = {const_cast<char*>(address.c_str()), nullptr, nullptr};
  GError* failure = nullptr;
  bool started = false;
  int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (G_IS_DESKTOP_APP_INFO(handler) && nowhere >= 0) {
    started = g_desktop_app_info_launch_uris_as_manager_with_fds(G_DESKTOP_APP_INFO(handler), &addresses, context,
                                                                 G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                                                                 nullptr, -1, -1, nowhere, &failure);
  } else {
    // Not started by us (D-Bus activated, say), or no /dev/null to give it.
    started = g_app_info_launch_uris(handler, &addresses, context, &failure);
  }
  if (nowhere >= 0) close(nowhere);
  if (!started) {
    error = failure->message;
    g_error_free(failure);
  }
  g_object_unref(context);
  g_object_unref(handler);
  return started;
}

bool ExternalProgram::start(const std::vector<std::string>& arguments, GPid* child, std::string& error) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  GSpawnFlags flags = GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL);
  if (child != nullptr) flags = GSpawnFlags(flags | G_SPAWN_DO_NOT_REAP_CHILD);
  GError* failure = nullptr;
  if (!g_spawn_async(nullptr, argv.data(), nullptr, flags, nullptr, nullptr, child, &failure)) {
    error = failure->message;
    g_error_free(failure);
    return false;
  }
  return true;
}
