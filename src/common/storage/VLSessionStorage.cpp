#include "VLSessionStorage.h"

#include <sqlite3.h>

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
  // A run that ended without tear-down (a crash, a kill) left its rows in
  // the file; session storage must not carry them into this run.
  if (VLStorage::init(dir, name) && deleteLeftRows()) return true;
  closeConnection();
  if (!failedForWantOfWriting()) {
    VL_LOG_ERROR("Session storage cannot be opened, another running client may hold it : " << getPath());
    return false;
  }
  // The page's session must not fail the start: this run's rows live in
  // memory, and the rows in the file are deleted at a start that can write.
  VL_LOG_WARN("Session storage cannot be written, this run keeps it in memory : " << getPath());
  return initInMemory();
}

// Only rows that exist are deleted: deleting from an empty table still
// writes, which a full disk refuses.
bool VLSessionStorage::deleteLeftRows() {
  int count = 0;
  if (!length(&count)) return false;
  return count == 0 || clear();
}

bool VLSessionStorage::clean() {
  if (!isOpen()) return true;
  if (!deleteLeftRows()) return false;
  return VLStorage::clean();
}
