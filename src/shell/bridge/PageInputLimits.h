// What the page may hand the core for good: identities and setting values
// end up in the preference file and in folder names, so each has a length no
// real one comes near, and the download folder must be one of the user's own
// (in the home folder, or on removable media mounted under /media, /run/media
// or /mnt) rather than any folder the application can write, unless the user
// picked it in our own folder chooser.
//
// Threads: any; nothing is kept between calls.
#pragma once

#include <cstddef>
#include <string>

class PageInputLimits {
 public:
  PageInputLimits() = delete;

  // Bytes of UTF-8: far above any account id, and a path's PATH_MAX.
  static constexpr size_t kLongestUserId = 256;
  static constexpr size_t kLongestSettingValue = 4096;

  // Empty when the page may switch to this identity; else why not, for the log.
  static std::string refuseUserId(const std::string& userId);
  // Empty when the page may give the setting this value; else why not.
  // chosenFolder: the folder the user picked in our folder chooser (empty:
  // none); the download folder may be it, or below it, wherever it lies.
  static std::string refuseSetting(const std::string& key, const std::string& value,
                                   const std::string& chosenFolder = std::string());
  // Whether the absolute folder (which need not exist yet) lies, once its
  // symbolic links are resolved, in `home` (or is it) or below a mount
  // folder of removable media. Relative folders and ".." are refused.
  static bool isUsersOwnFolder(const std::string& folder, const std::string& home);
};
