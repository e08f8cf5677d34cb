#include "LogBundleSettings.h"

#include <glib.h>

#include "VLPlatformFactory.h"
#include "VLSettingHelper.h"

const char* const LogBundleSettings::kProductionEndpoint = "http://www.velora.example/proxy/logging.php";

LogBundleSettings LogBundleSettings::forThisUser(const std::string& applicationVersion, const std::string& systemUid) {
  LogBundleSettings settings;
  VLSettingHelper* helper = VLPlatformFactory::instance()->getSettingHelper();
  settings.logFolder = helper->getLocalPath(VLSettingHelper::LOCAL_FOLDER_LOG);
  settings.preferencesFile = helper->getPreferencesPath();
  // GLib falls back to ~/Desktop when the user has no XDG desktop folder.
  const char* desktop = g_get_user_special_dir(G_USER_DIRECTORY_DESKTOP);
  settings.desktopFolder = desktop ? desktop : std::string(g_get_home_dir()) + "/Desktop";
  settings.temporaryFolder = g_get_tmp_dir();
  settings.endpoint = kProductionEndpoint;
  settings.systemUid = systemUid;
  settings.applicationVersion = applicationVersion;
  return settings;
}
