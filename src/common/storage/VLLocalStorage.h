#pragma once

#include "VLStorage.h"

// The page's local storage: the store "localStorage", whose rows last from run
// to run. When its file cannot be written at the start (a home or folder
// made read-only), the run reads the rows as they are and refuses every
// change, which the log tells. Main thread only (see VLStorage).
class VLLocalStorage : public VLStorage {
 public:
  ~VLLocalStorage() override;

  // Opens "localStorage.db" in the "storage" folder of the application data
  // folder (made when missing). False when that folder cannot be had or the
  // store cannot be opened; the store is then closed.
  bool init();

  // VLStorage::init; when that fails for want of writing, the file is opened
  // for reading only (without the purge of rows beyond the limits, which
  // would write).
  bool init(const std::string& dir, const std::string& name) override;
};
