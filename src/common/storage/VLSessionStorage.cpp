#include "VLSessionStorage.h"

#include "VLLogger.h"
#include "VLPlatformFactory.h"
#include "VLSettingHelper.h"

VLSessionStorage::VLSessionStorage() : VLStorage(Sharing::ThisProcessOnly) {}

VLSessionStorage::~VLSessionStorage() {}

bool VLSessionStorage::init() {
  std::string dir = VLPlatformFactory::instance()->getSettingHelper()->getLocalAppPath("storage");
  if (dir.empty()) return false;
  return init(dir, "sessionStorage");
}

bool VLSessionStorage::init(const std::string& dir, const std::string& name) {
  if (!VLStorage::init(dir, name)) {
    VL_LOG_ERROR("Session storage cannot be opened, another running client may hold it : " << getPath());
    return false;
  }
  // A run that ended without tear-down (a crash, a kill) left its rows here;
  // session storage must not carry them into this run.
  if (!clear()) {
    closeConnection();
    return false;
  }
  return true;
}

bool VLSessionStorage::clean() {
  if (!isOpen()) return true;
  if (!clear()) return false;
  return VLStorage::clean();
}
