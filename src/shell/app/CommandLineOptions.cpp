#include "CommandLineOptions.h"

#include <ftw.h>
#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "DataFolderLock.h"
#include "ShellStrings.h"
#include "ShellTrace.h"
#include "VLSettingHelper.h"

namespace {

constexpr const char* kApplicationFolderName = "velora-desktop";

// Removals that failed for another reason than a folder left holding what
// stays on purpose (a disk mounted inside): the removal's one thread only.
int failedRemovals = 0;

void removeOrTrace(const char* path) {
  if (remove(path) == 0) return;
  int error = errno;
  shellTrace("CommandLineOptions::removeApplicationSupportDirectory",
             std::string("cannot remove ") + path + ": " + g_strerror(error));
  if (error != ENOTEMPTY && error != EEXIST) ++failedRemovals;
}

// The folder's lock file and the folder itself are left to the end: a client
// that starts while the folder is removed waits on that file
// (DataFolderLock), and so for the whole removal, not only until its file is
// gone; else it would start while the rest is still removed under it.
int removeEntry(const char* path, const struct stat*, int type, struct FTW* at) {
  // A folder that cannot be read keeps what it holds: that is no folder left
  // on purpose, though its removal then fails as "not empty".
  if (type == FTW_DNR) {
    shellTrace("CommandLineOptions::removeApplicationSupportDirectory", std::string("cannot read ") + path);
    ++failedRemovals;
  }
  bool lockFile = at->level == 1 && strcmp(path + at->base, DataFolderLock::kFileName) == 0;
  if (at->level > 0 && !lockFile) removeOrTrace(path);
  return 0;  // go on with the rest
}

bool contains(const std::vector<std::string>& arguments, const char* option) {
  return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
}

}  // namespace

const std::vector<std::string>& CommandLineOptions::resetKeys() {
  static const std::vector<std::string> keys = {"desktop_DeviceOutputType",       "desktop_DeviceOutputGuid",
                                                "desktop_PublicRepositoryPath",   "desktop_PrivateRepositoryPath",
                                                "desktop_CacheRepositoryPath",    "desktop_PrivateRepositoryMaxSize",
                                                "desktop_MaxConcurrentDownloads", "desktop_import_playlist"};
  return keys;
}

bool CommandLineOptions::processCommandLineArguments(const std::vector<std::string>& arguments,
                                                     VLSettingHelper& settings, int* status) {
  bool removeFolder = contains(arguments, "--remove-folder");
  bool resetPreferences = contains(arguments, "--reset-preferences");
  bool removed = true;
  if (removeFolder) {
    std::string folder = settings.getLocalPath(VLSettingHelper::LOCAL_FOLDER_APPLICATION);
    removed = removeApplicationSupportDirectory(folder);
    // A script that removes the folder must not take a failure for done.
    if (!removed) {
      fprintf(stderr, "velora-desktop: --remove-folder: the data folder %s could not be removed whole\n",
              folder.empty() ? "(none found)" : folder.c_str());
    }
  }
  if (resetPreferences) resetAllPreferences(settings);
  if (status != nullptr) *status = removed ? 0 : 1;
  return removeFolder || resetPreferences;
}

bool CommandLineOptions::removeApplicationSupportDirectory(const std::string& folder) {
  shellTrace("CommandLineOptions::removeApplicationSupportDirectory", "removeApplicationSupportDirectory");
  gchar* name = g_path_get_basename(folder.c_str());
  bool ours = !folder.empty() && g_path_is_absolute(folder.c_str()) && g_strcmp0(name, kApplicationFolderName) == 0;
  g_free(name);
  if (folder.empty()) {
    shellTrace("CommandLineOptions::removeApplicationSupportDirectory",
               "Unable to find or create application support directory:\n" +
                   ShellStrings::text("No path found for directory in domain."));
    return false;
  }
  if (!ours) {
    shellTrace("CommandLineOptions::removeApplicationSupportDirectory",
               "Unable to find or create application support directory: refused \"" + folder + "\"");
    return false;
  }
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0) return true;
  // Depth first, not following links: what a link points to stays. On the
  // folder's own file system only, as rm --one-file-system: a disk mounted
  // inside it (and its mount point) stays.
  failedRemovals = 0;
  if (nftw(folder.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) != 0) ++failedRemovals;
  std::string lockFile = folder + "/" + DataFolderLock::kFileName;
  if (lstat(lockFile.c_str(), &info) == 0) removeOrTrace(lockFile.c_str());
  removeOrTrace(folder.c_str());
  return failedRemovals == 0;
}

void CommandLineOptions::resetAllPreferences(VLSettingHelper& settings) {
  shellTrace("CommandLineOptions::resetAllPreferences", "resetAllPreferences");
  for (const std::string& key : resetKeys()) settings.removeValue(key);
}
