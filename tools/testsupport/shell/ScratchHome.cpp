#include "ScratchHome.h"

#include <glib.h>
#include <gtest/gtest.h>

#include "ShellTestServer.h"
#include "VeloraDesktopAppDelegate.h"

ScratchHome::ScratchHome(const std::string& prefix) {
  gchar* folder = g_dir_make_tmp((prefix + "-XXXXXX").c_str(), nullptr);
  path_ = folder != nullptr ? folder : "";
  g_free(folder);
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
    std::string path = path_ + "/" + variable;
    g_mkdir_with_parents(path.c_str(), 0700);
    g_setenv(variable, path.c_str(), TRUE);
  }
  g_setenv("HOME", path_.c_str(), TRUE);
}

ScratchHome::~ScratchHome() {
  if (path_.empty()) return;
  ShellTestServer::runUntil([] { return !ShellTestServer::hasRunningChildren(); });
  gchar* command = g_strdup_printf("rm -rf '%s'", path_.c_str());
  if (system(command) != 0) ADD_FAILURE() << command;
  g_free(command);
}

bool ScratchHome::startApplication(VeloraDesktopAppDelegate& application, const std::string& extensions) const {
  std::string data = path_ + "/webkit";
  WebKitWebsiteDataManager* manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                                      "base-cache-directory", data.c_str(), nullptr);
  bool started = application.start(manager, extensions);
  g_object_unref(manager);
  return started;
}
