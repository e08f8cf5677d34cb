#include "PageInputLimits.h"

#include <glib.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace {

// Where removable media are mounted: udisks, older desktops, by hand.
const char* const kMediaFolders[] = {"/media", "/run/media", "/mnt"};

// The folder with its symbolic links resolved: the longest part that exists
// through realpath, the rest as given. Empty when it is relative, names ".."
// or cannot be resolved.
std::string resolve(const std::string& folder) {
  if (folder.empty() || folder[0] != '/') return std::string();
  std::vector<std::string> parts;
  gchar** split = g_strsplit(folder.c_str(), "/", -1);
  for (gchar** part = split; *part != nullptr; ++part) {
    if (**part == '\0' || g_strcmp0(*part, ".") == 0) continue;
    if (g_strcmp0(*part, "..") == 0) {
      g_strfreev(split);
      return std::string();
    }
    parts.emplace_back(*part);
  }
  g_strfreev(split);
  for (size_t existing = parts.size() + 1; existing-- > 0;) {
    std::string prefix;
    for (size_t i = 0; i < existing; ++i) prefix += "/" + parts[i];
    char resolved[PATH_MAX];
    if (realpath(prefix.empty() ? "/" : prefix.c_str(), resolved) == nullptr) continue;
    std::string result = resolved;
    for (size_t i = existing; i < parts.size(); ++i) result += (result == "/" ? "" : "/") + parts[i];
    return result;
  }
  return std::string();
}

bool isInside(const std::string& path, const std::string& folder, bool orItself) {
  if (folder.empty()) return false;
  if (path == folder) return orItself;
  std::string prefix = folder == "/" ? folder : folder + "/";
  return path.compare(0, prefix.size(), prefix) == 0;
}

// The home folder the settings use: $HOME, else the user database's.
std::string homeFolder() {
  const char* home = g_getenv("HOME");
  return home != nullptr && home[0] == '/' ? home : g_get_home_dir();
}

}  // namespace

std::string PageInputLimits::refuseUserId(const std::string& userId) {
  if (userId.size() <= kLongestUserId) return std::string();
  return "an identity of " + std::to_string(userId.size()) + " bytes (at most " + std::to_string(kLongestUserId) + ")";
}

std::string PageInputLimits::refuseSetting(const std::string& key, const std::string& value,
                                           const std::string& chosenFolder) {
  if (key.size() > kLongestSettingValue) return "a setting name of " + std::to_string(key.size()) + " bytes";
  if (value.size() > kLongestSettingValue) {
    return "a value of " + std::to_string(value.size()) + " bytes for " + key + " (at most " +
           std::to_string(kLongestSettingValue) + ")";
  }
  // What the user picked in our chooser is the user's choice, wherever it lies.
  bool chosen = !chosenFolder.empty() && isInside(resolve(value), resolve(chosenFolder), true);
  if (key == "download_repository_path" && !chosen && !isUsersOwnFolder(value, homeFolder())) {
    return "a download folder outside the home folder and the media folders : " + value;
  }
  return std::string();
}

bool PageInputLimits::isUsersOwnFolder(const std::string& folder, const std::string& home) {
  std::string path = resolve(folder);
  if (path.empty()) return false;
  if (isInside(path, resolve(home), true)) return true;
  for (const char* media : kMediaFolders) {
    if (isInside(path, resolve(media), false)) return true;
  }
  return false;
}
