#pragma once

#include "VLFolder.h"

// A folder held by an O_PATH descriptor (it grants no reading of the folder,
// only lookups relative to it); sizes by fstatat on it.
class VLFolderLinuxImpl : public VLFolder {
 public:
  // Takes ownership of the descriptor, closed with the object.
  explicit VLFolderLinuxImpl(int descriptor);
  ~VLFolderLinuxImpl() override;

  uint64_t getFileSize(const char* name) override;

 private:
  int descriptor_;
};
