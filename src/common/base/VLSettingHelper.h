#pragma once

#include <string>

// The core's door to the application's preferences (text values by key, kept
// across runs) and to its standard per-user folders. One process-wide instance,
// owned by the platform factory (VLPlatformFactory::getSettingHelper); never
// deleted, hence no virtual destructor.
//
// Keys: with a non-empty group (an identity) the stored key is group + "#" +
// key, otherwise the bare key. Every set is on disk when the call returns.
// Safe to call from the main and worker threads at once.
class VLSettingHelper {
 public:
  enum LocalFolder {
    LOCAL_FOLDER_CACHE = 0,
    LOCAL_FOLDER_LOG = 1,
    LOCAL_FOLDER_MUSIC = 2,
    LOCAL_FOLDER_APPLICATION = 3
  };

  // The stored value, or defaultValue when none is stored.
  virtual std::string getValue(const std::string& key, const std::string& defaultValue) = 0;
  virtual std::string getValue(const std::string& group, const std::string& key, const std::string& defaultValue) = 0;
  // Stores the value and writes the store to disk before returning; a failed
  // write is logged.
  virtual void setValue(const std::string& key, const std::string& value) = 0;
  virtual void setValue(const std::string& group, const std::string& key, const std::string& value) = 0;
  // Removes the value of a bare key (getValue then gives its default); a
  // failed write is logged.
  virtual void removeValue(const std::string& key) = 0;
  // The standard folder of that kind, its levels created one at a time; empty
  // text (after an error in the log) when it cannot be had.
  virtual std::string getLocalPath(LocalFolder folder) = 0;
  // The file the preferences are kept in, for a log bundle; empty when they
  // are not in a file (this default).
  virtual std::string getPreferencesPath() { return std::string(); }

  // Stores value as signed decimal text.
  void setIntValue(const std::string& group, const std::string& key, int value);
  // The stored text read as a decimal integer: white space skipped, an optional
  // sign, leading digits count, text that does not start with a number is 0,
  // values beyond int are clamped. defaultValue when nothing is stored.
  int getIntValue(const std::string& group, const std::string& key, int defaultValue);

  // getLocalPath, then the folder created once more; empty text on failure.
  std::string getAndCreateLocalPath(LocalFolder folder);
  // Cache (application) folder + "/" + sub, created; empty text (after a
  // warning) when the folder cannot be had or the result cannot be created.
  // Callers go on without it: nothing is written anywhere else.
  std::string getLocalCachePath(const std::string& sub);
  std::string getLocalAppPath(const std::string& sub);
  // The music (log) folder; empty text (after a warning) when it cannot be had.
  std::string getLocalMusicPath();
  std::string getLocalLogPath();

 protected:
  ~VLSettingHelper() {}

 private:
  std::string getLocalSubPath(LocalFolder folder, const std::string& sub, const char* warning);
  std::string getLocalPathOrNothing(LocalFolder folder, const char* warning);
};
