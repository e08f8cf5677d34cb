#include "VLSettingHelper.h"

#include <climits>
#include <cstdlib>

#include "VLFileHelper.h"
#include "VLLogger.h"
#include "VLPlatformFactory.h"

void VLSettingHelper::setIntValue(const std::string& group, const std::string& key, int value) {
  setValue(group, key, std::to_string(value));
}

int VLSettingHelper::getIntValue(const std::string& group, const std::string& key, int defaultValue) {
  std::string text = getValue(group, key, std::to_string(defaultValue));
  // strtol rather than atoi: same reading of leading digits, but an
  // out-of-range value is detected and clamped instead of being undefined.
  long value = strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string VLSettingHelper::getAndCreateLocalPath(LocalFolder folder) {
  std::string path = getLocalPath(folder);
  if (path.empty()) return path;
  if (!VLPlatformFactory::instance()->getFileHelper()->createDirectory(path)) {
    VL_LOG_WARN("Unable to create directory :" << path);
    return std::string();
  }
  return path;
}

// A folder that cannot be had leaves its callers without it (the empty text):
// never the current folder, where files would land wherever the program was
// started from.
std::string VLSettingHelper::getLocalSubPath(LocalFolder folder, const std::string& sub, const char* warning) {
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  std::string path = getLocalPathOrNothing(folder, warning);
  if (path.empty()) return path;
  path += files->getSeparator();
  path += sub;
  if (!files->createDirectory(path)) return std::string();
  return path;
}

std::string VLSettingHelper::getLocalCachePath(const std::string& sub) {
  return getLocalSubPath(LOCAL_FOLDER_CACHE, sub, "Unable to retrieve local cache path");
}

std::string VLSettingHelper::getLocalAppPath(const std::string& sub) {
  return getLocalSubPath(LOCAL_FOLDER_APPLICATION, sub, "Unable to retrieve local application path");
}

std::string VLSettingHelper::getLocalPathOrNothing(LocalFolder folder, const char* warning) {
  std::string path = getAndCreateLocalPath(folder);
  if (path.empty()) VL_LOG_WARN(warning);
  return path;
}

std::string VLSettingHelper::getLocalMusicPath() {
  return getLocalPathOrNothing(LOCAL_FOLDER_MUSIC, "Unable to retrieve local music path");
}

std::string VLSettingHelper::getLocalLogPath() {
  return getLocalPathOrNothing(LOCAL_FOLDER_LOG, "Unable to retrieve local log path");
}
