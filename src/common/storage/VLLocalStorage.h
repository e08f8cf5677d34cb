#pragma once

#include "VLStorage.h"

// The page's local storage: the store "localStorage", whose rows last from run
// to run. Main thread only (see VLStorage).
class VLLocalStorage : public VLStorage {
 public:
  ~VLLocalStorage() override;

  // Opens "localStorage.db" in the "storage" folder of the application data
  // folder (made when missing). False when that folder cannot be had or the
  // store cannot be opened; the store is then closed.
  bool init();
  using VLStorage::init;
};
