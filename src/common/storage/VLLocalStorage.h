#pragma once

#include "VLStorage.h"

// The page's local storage: the store "localStorage", whose rows last from run
// to run. When its file cannot be written at the start (a home or folder
// made read-only), or a write finds it so later in the run, the run reads the
// rows as they are and refuses every change, which the log tells once, until
// the file can be written again (the home remounted writable): the store is
// then opened for writing again at the next change. Main thread only (see
// VLStorage).
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

  // VLStorage's, on a store that takes writes (see takesWrites).
  bool clear() override;
  bool removeItem(const std::string& key) override;
  bool setItem(const std::string& key, const std::string& value) override;

 private:
  // Whether a change may go to SQLite: always, unless the store was opened
  // for reading only or a write found its file unwritable; then once its
  // file can be written again, when the store is opened anew for writing. A
  // refusal is not tried on SQLite.
  bool takesWrites();
  // Whether a connection opened on the file now could write it.
  bool fileTakesWrites() const;
  // The result of a write; one refused because the file can no longer be
  // written turns the store read-only (see takesWrites).
  bool noteWrite(bool written);

  std::string dir_;
  bool readOnly_ = false;
  bool refusalLogged_ = false;
};
