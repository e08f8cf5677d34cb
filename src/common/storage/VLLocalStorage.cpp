#include "VLLocalStorage.h"

#include "VLPlatformFactory.h"
#include "VLSettingHelper.h"

VLLocalStorage::~VLLocalStorage() {}

bool VLLocalStorage::init() {
  std::string dir = VLPlatformFactory::instance()->getSettingHelper()->getLocalAppPath("storage");
  if (dir.empty()) return false;
  return VLStorage::init(dir, "localStorage");
}
