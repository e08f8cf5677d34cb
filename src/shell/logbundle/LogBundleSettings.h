#pragma once

#include <functional>
#include <string>
#include <vector>

#include "SystemInfosCollector.h"

// Where a log bundle comes from and where it goes. A plain value.
struct LogBundleSettings {
  // The service's logging endpoint on the production host (also while a
  // beta player is in use).
  static const char* const kProductionEndpoint;

  std::string logFolder;           // every regular file in it goes into the bundle
  std::string preferencesFile;     // the application's preferences
  std::string desktopFolder;       // where the archive is written (made when missing)
  std::string temporaryFolder;     // where the private folder of the texts is made
  std::string endpoint;            // where the bundle is posted
  std::string systemUid;           // the form's "udid"
  std::string applicationVersion;  // the form's "ver"
  std::vector<SystemInfoSource> systemInfoSources = SystemInfosCollector::defaultSources();
  // The folders of the cache and of the downloads, whose volumes the system
  // report shows; asked on the main thread each time an upload is queued
  // (none when unset).
  std::function<std::vector<std::string>()> storageFolders;

  // This user's folders: the core's log folder, the preference file, the
  // desktop folder (the XDG one, else ~/Desktop) and the temporary folder
  // ($TMPDIR, else /tmp); the production endpoint. Main thread (it asks the
  // platform's setting helper and GLib).
  static LogBundleSettings forThisUser(const std::string& applicationVersion, const std::string& systemUid);
};
