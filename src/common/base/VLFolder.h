#pragma once

#include <cstdint>

// A folder held open, whose files are looked up by name relative to it: no
// walk of the folder's own path per lookup, for callers that examine many
// files of one folder (the index load). Made by VLFileHelper::openFolder,
// owned by the caller (delete through the virtual destructor). Keeps the
// folder it opened even when the path is renamed meanwhile. Any thread may
// call getFileSize, also several at once.
class VLFolder {
 public:
  virtual ~VLFolder() {}

  // The size in bytes of the folder's entry `name` (following symbolic
  // links), as VLFileHelper::getFileSize gives it for the folder's path
  // plus name: 0 when it cannot be examined. Opens nothing.
  virtual uint64_t getFileSize(const char* name) = 0;
};
