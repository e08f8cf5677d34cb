#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VLSettingHelper.h"

class VLPreferenceStore;

// The setting helper on Linux.
//
// Preferences: VLPreferenceStore on "${XDG_CONFIG_HOME:-~/.config}/velora-desktop/preferences".
// Folders (the XDG variables count only when they hold absolute paths):
//   cache        ${XDG_CACHE_HOME:-~/.cache}/velora-desktop
//   log          ${XDG_STATE_HOME:-~/.local/state}/velora-desktop
//   music        (the user's XDG music folder, else ~/Music)/Velora
//   application  ${XDG_DATA_HOME:-~/.local/share}/velora-desktop
// Each level below the home folder is created one at a time; the home folder
// itself is never created. The home folder is $HOME when it holds an absolute
// path, else the user database's entry for the process's real user; "$HOME"
// in user-dirs.dirs stands for the same folder.
//
// Thread-safe: the store has its own lock and the folder lookups keep no state.
class VLLinuxSettingHelper : public VLSettingHelper {
 public:
  // The process's user's home folder and the environment.
  VLLinuxSettingHelper();
  // For tests: `homeFolder` stands in for $HOME and the user database.
  explicit VLLinuxSettingHelper(const std::string& homeFolder);
  ~VLLinuxSettingHelper();

  std::string getValue(const std::string& key, const std::string& defaultValue) override;
  std::string getValue(const std::string& group, const std::string& key, const std::string& defaultValue) override;
  void setValue(const std::string& key, const std::string& value) override;
  void setValue(const std::string& group, const std::string& key, const std::string& value) override;
  void removeValue(const std::string& key) override;
  std::string getLocalPath(LocalFolder folder) override;

  // The preference file ("" when no home folder could be found).
  std::string getPreferencesPath() override;

  // The key under which a value of `group` is stored.
  static std::string composeKey(const std::string& group, const std::string& key);

 private:
  bool findHomeFolder(std::string& home);
  bool findRootLevels(LocalFolder folder, const std::string& home, std::vector<std::string>& levels);
  std::string findMusicFolder(const std::string& home);
  VLPreferenceStore* store();

  std::string homeOverride_;
  std::unique_ptr<VLPreferenceStore> store_;
  std::once_flag storeOnce_;
};
