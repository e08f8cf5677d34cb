#include "VLLocalStorage.h"

#include <sqlite3.h>

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
  if (isOpen()) return VLStorage::init(dir, name);  // refused as it is
  dir_ = dir;
  readOnly_ = false;
  if (VLStorage::init(dir, name)) return true;
  if (isOpen() || !failedForWantOfWriting()) return false;
  // The page must not lose the start, nor what it stored, to a file it
  // cannot change: it reads its rows, and its writes answer false.
  VL_LOG_WARN("Local storage cannot be written, this run reads it as it is : " << getPath());
  readOnly_ = initReadOnly();
  return readOnly_;
}

bool VLLocalStorage::clear() {
  return takesWrites() && noteWrite(VLStorage::clear());
}

bool VLLocalStorage::removeItem(const std::string& key) {
  return takesWrites() && noteWrite(VLStorage::removeItem(key));
}

bool VLLocalStorage::setItem(const std::string& key, const std::string& value) {
  return takesWrites() && noteWrite(VLStorage::setItem(key, value));
}

// SQLite opens a file it cannot write for reading only, also when asked to
// write: a trial connection tells whether the file can be written now.
bool VLLocalStorage::fileTakesWrites() const {
  sqlite3* trial = nullptr;
  const bool writable = VLSQLiteDatabase::open(getPath(), VLSQLiteDatabase::Access::ReadWrite,
                                               VLSQLiteDatabase::WhenLocked::Fail, &trial) == SQLITE_OK &&
                        !VLSQLiteDatabase::isReadOnly(trial);
  VLSQLiteDatabase::close(trial);
  return writable;
}

// A write refused because the file can no longer be written (the home turned
// read-only while the client ran) makes the store refuse the next ones as
// one opened read-only does: without SQLite, and without an error each. A
// full disk is not that: the next write is tried as it comes.
bool VLLocalStorage::noteWrite(bool written) {
  if (written || readOnly_ || !failedForWantOfWriting() || fileTakesWrites()) return written;
  VL_LOG_WARN("Local storage can no longer be written, its changes are refused until it can : " << getPath());
  readOnly_ = true;
  return false;
}

bool VLLocalStorage::takesWrites() {
  if (!readOnly_) return true;
  if (fileTakesWrites() && closeConnection()) {
    if (VLStorage::init(dir_, getName())) {
      readOnly_ = false;
      VL_LOG_INFO("Local storage can be written again : " << getPath());
      return true;
    }
    initReadOnly();
  }
  if (!refusalLogged_) VL_LOG_WARN("Local storage is read-only, this run refuses its changes : " << getPath());
  refusalLogged_ = true;
  return false;
}
