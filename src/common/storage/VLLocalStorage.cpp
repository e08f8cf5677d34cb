#include "VLLocalStorage.h"

#include "VLLogger.h"
#include "VLPlatformFactory.h"
#include "VLSettingHelper.h"

VLLocalStorage::~VLLocalStorage() {}

bool VLLocalStorage::init() {
  std::string dir = VLPlatformFactory::instance()->getSettingHelper()->getLocalAppPath("storage");
  if (dir.empty()) return false;
  return init(dir, "localStorage");
}

bool VLLocalStorage::init(const std::string& dir, const std::string& name) {
  if (VLStorage::init(dir, name)) return true;
  if (isOpen() || !failedForWantOfWriting()) return false;
  // The page must not lose the start, nor what it stored, to a file it
  // cannot change: it reads its rows, and its writes answer false.
  VL_LOG_WARN("Local storage cannot be written, this run reads it as it is : " << getPath());
  return initReadOnly();
}
