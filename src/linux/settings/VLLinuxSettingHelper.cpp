#include "VLLinuxSettingHelper.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "VLLogger.h"
#include "VLPreferenceStore.h"

namespace {

const char* const kApplicationFolder = "/velora-desktop";
const char* const kMusicFolder = "/Velora";

// An XDG base-directory variable counts only when it holds an absolute path.
bool absoluteVariable(const char* name, std::string& value) {
  const char* text = getenv(name);
  if (!text || text[0] != '/') return false;
  value = text;
  return true;
}

std::string configRoot(const std::string& home) {
  std::string root;
  if (absoluteVariable("XDG_CONFIG_HOME", root)) return root;
  return home + "/.config";
}

// The value of XDG_MUSIC_DIR in user-dirs.dirs: a quoted text that is either
// "$HOME/..." or an absolute path. Empty when absent, malformed or the home
// folder itself (which means the folder is disabled).
std::string readUserMusicFolder(const std::string& home) {
  std::string path = configRoot(home) + "/user-dirs.dirs";
  FILE* file = fopen(path.c_str(), "re");
  if (!file) return std::string();
  std::string result;
  char buffer[4096];
  const std::string prefix = "XDG_MUSIC_DIR=\"";
  while (fgets(buffer, sizeof buffer, file)) {
    std::string line(buffer);
    std::string::size_type start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, prefix.size(), prefix) != 0) continue;
    std::string value;
    bool closed = false;
    for (std::string::size_type i = start + prefix.size(); i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        value += line[++i];
      } else if (line[i] == '"') {
        closed = true;
        break;
      } else {
        value += line[i];
      }
    }
    if (!closed) continue;
    if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/'))
      value = home + value.substr(5);
    else if (value.empty() || value[0] != '/')
      continue;
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    result = value == home ? std::string() : value;
  }
  fclose(file);
  return result;
}

// Makes one folder level with the mode given; a folder already there counts
// as made and keeps its mode. False with errno's text in `error` otherwise.
bool makeLevel(const std::string& path, mode_t mode, std::string& error) {
  if (mkdir(path.c_str(), mode) == 0) return true;
  int reason = errno;
  if (reason == EEXIST) {
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
    reason = ENOTDIR;
  }
  char text[256];
  error = strerror_r(reason, text, sizeof text);
  return false;
}

// The folders an XDG variable names, from the outermost one below "/" to the
// folder itself: the rules ask for the whole path to be made when missing.
std::vector<std::string> levelsOf(const std::string& root) {
  std::vector<std::string> levels;
  for (size_t end = root.find('/', 1); end != std::string::npos; end = root.find('/', end + 1)) {
    if (root[end - 1] != '/') levels.push_back(root.substr(0, end));
  }
  std::string whole = root;
  while (whole.size() > 1 && whole.back() == '/') whole.pop_back();
  if (levels.empty() || levels.back() != whole) levels.push_back(whole);
  return levels;
}

// A standard folder that cannot be made is said on standard error too, once
// per folder and run: the log may be the very folder that is missing.
void reportMissingFolder(const std::string& folder, const std::string& level, const std::string& error) {
  static std::mutex mutex;
  static std::set<std::string> reported;
  VL_LOG_ERROR("Unable to create directory : " << level << " (" << error << ")");
  std::lock_guard<std::mutex> lock(mutex);
  if (!reported.insert(folder).second) return;
  fprintf(stderr, "velora-desktop: cannot make the folder %s (%s: %s): going on without it\n", folder.c_str(),
          level.c_str(), error.c_str());
}

}  // namespace

VLLinuxSettingHelper::VLLinuxSettingHelper() {}

VLLinuxSettingHelper::VLLinuxSettingHelper(const std::string& homeFolder) : homeOverride_(homeFolder) {}

VLLinuxSettingHelper::~VLLinuxSettingHelper() {}

std::string VLLinuxSettingHelper::composeKey(const std::string& group, const std::string& key) {
  return group.empty() ? key : group + "#" + key;
}

bool VLLinuxSettingHelper::findHomeFolder(std::string& home) {
  if (!homeOverride_.empty()) {
    home = homeOverride_;
    return true;
  }
  // $HOME first, as every XDG program reads it: a session that points it
  // elsewhere (a sandbox, a demo with private folders) keeps its files there.
  const char* variable = getenv("HOME");
  if (variable && variable[0] == '/') {
    home = variable;
    return true;
  }
  // getpwuid_r: the plain form shares one static buffer between threads.
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  int error;
  while ((error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (error != 0 || !found || !found->pw_dir) {
    VL_LOG_ERROR("getpwuid has failed");
    return false;
  }
  home = found->pw_dir;
  return true;
}

std::string VLLinuxSettingHelper::getPreferencesPath() {
  std::string home;
  if (!findHomeFolder(home)) return std::string();
  return configRoot(home) + kApplicationFolder + "/preferences";
}

VLPreferenceStore* VLLinuxSettingHelper::store() {
  std::call_once(storeOnce_, [this] {
    std::string path = getPreferencesPath();
    if (!path.empty()) {
      // The store makes its own folder; the configuration root above it may
      // be missing on a fresh account, or wherever XDG_CONFIG_HOME points.
      std::string home;
      findHomeFolder(home);
      std::string root;
      std::vector<std::string> levels =
          absoluteVariable("XDG_CONFIG_HOME", root) ? levelsOf(root) : std::vector<std::string>{home + "/.config"};
      for (const std::string& level : levels) {
        std::string error;
        if (!makeLevel(level, 0700, error)) {
          reportMissingFolder(levels.back(), level, error);
          break;
        }
      }
    }
    store_.reset(new VLPreferenceStore(path));
  });
  return store_.get();
}

std::string VLLinuxSettingHelper::getValue(const std::string& key, const std::string& defaultValue) {
  return getValue(std::string(), key, defaultValue);
}

std::string VLLinuxSettingHelper::getValue(const std::string& group, const std::string& key,
                                           const std::string& defaultValue) {
  std::string value;
  if (store()->get(composeKey(group, key), value)) return value;
  return defaultValue;
}

void VLLinuxSettingHelper::setValue(const std::string& key, const std::string& value) {
  setValue(std::string(), key, value);
}

void VLLinuxSettingHelper::setValue(const std::string& group, const std::string& key, const std::string& value) {
  store()->set(composeKey(group, key), value);
}

void VLLinuxSettingHelper::removeValue(const std::string& key) {
  store()->remove(key);
}

std::string VLLinuxSettingHelper::findMusicFolder(const std::string& home) {
  std::string music = readUserMusicFolder(home);
  return music.empty() ? home + "/Music" : music;
}

bool VLLinuxSettingHelper::findRootLevels(LocalFolder folder, const std::string& home,
                                          std::vector<std::string>& levels) {
  std::string root;
  switch (folder) {
    case LOCAL_FOLDER_CACHE:
      if (absoluteVariable("XDG_CACHE_HOME", root))
        levels = levelsOf(root);
      else
        levels.push_back(home + "/.cache");
      return true;
    case LOCAL_FOLDER_LOG:
      if (absoluteVariable("XDG_STATE_HOME", root)) {
        levels = levelsOf(root);
      } else {
        levels.push_back(home + "/.local");
        levels.push_back(home + "/.local/state");
      }
      return true;
    case LOCAL_FOLDER_MUSIC: levels.push_back(findMusicFolder(home)); return true;
    case LOCAL_FOLDER_APPLICATION:
      if (absoluteVariable("XDG_DATA_HOME", root)) {
        levels = levelsOf(root);
      } else {
        levels.push_back(home + "/.local");
        levels.push_back(home + "/.local/share");
      }
      return true;
  }
  return false;
}

// Levels are made private to the user (0700), as the XDG rules ask of the
// folders they name; the music folder is the user's own, seen in the file
// manager, and made as any other folder. The mode of a level that exists
// already is left as it is.
std::string VLLinuxSettingHelper::getLocalPath(LocalFolder folder) {
  if (static_cast<int>(folder) < LOCAL_FOLDER_CACHE || static_cast<int>(folder) > LOCAL_FOLDER_APPLICATION)
    return std::string();
  std::string home;
  if (!findHomeFolder(home)) return std::string();

  std::vector<std::string> levels;
  findRootLevels(folder, home, levels);
  levels.push_back(levels.back() + (folder == LOCAL_FOLDER_MUSIC ? kMusicFolder : kApplicationFolder));

  const mode_t mode = folder == LOCAL_FOLDER_MUSIC ? 0755 : 0700;
  for (const std::string& level : levels) {
    std::string error;
    if (!makeLevel(level, mode, error)) {
      reportMissingFolder(levels.back(), level, error);
      return std::string();
    }
  }
  return levels.back();
}
