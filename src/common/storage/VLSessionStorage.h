#pragma once

#include "VLStorage.h"

// The page's session storage: the store "sessionStorage", whose rows last one
// run. It starts every run empty (rows a crashed run left behind are deleted
// when it opens) and deletes its rows when it is cleaned at tear-down.
// Destruction alone closes it without deleting rows. When its file cannot be
// written at the start (a full disk), the run keeps the store in memory
// instead, which the log tells. Main thread only.
//
// The rows belong to one run of one process: the store holds its file's
// locks from init to close, so a second process on the same folders finds
// it in use and goes without session storage, instead of emptying (and then
// sharing) the rows of the first.
class VLSessionStorage : public VLStorage {
 public:
  VLSessionStorage();
  ~VLSessionStorage() override;

  // Opens "sessionStorage.db" in the "storage" folder of the application data
  // folder and empties it. False when the folder cannot be had or the store
  // cannot be opened (another process holds it, the file is no database);
  // the store is then closed.
  bool init();

  // VLStorage::init, then the rows left in the file are deleted. When the
  // file cannot be written (made or emptied), the store opens in memory and
  // init succeeds; on any other failure the store is closed.
  bool init(const std::string& dir, const std::string& name) override;

  // Deletes every row, then closes. When the rows cannot be deleted it returns
  // false and keeps the store open, so that no row outlives the run unnoticed.
  // A store that is not open is left alone: true.
  bool clean() override;

 private:
  // Deletes every row, writing nothing when there is none.
  bool deleteLeftRows();
};
