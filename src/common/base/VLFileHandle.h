#pragma once

#include "VLFileId.h"

class VLRepository;

// A repository (not owned) and a copy of a file id: the handle the audio engine's
// file callbacks carry for a stream served from a repository. No lock.
class VLFileHandle {
 public:
  VLFileHandle(VLRepository* repository, const VLFileId& fileId) : repository_(repository), fileId_(fileId) {}
  virtual ~VLFileHandle() {}

  VLRepository* getRepository() const { return repository_; }
  // Valid while the handle lives.
  const VLFileId& getFileId() const { return fileId_; }

  bool operator==(const VLFileHandle& other) const {
    return repository_ == other.repository_ && fileId_ == other.fileId_;
  }
  bool operator!=(const VLFileHandle& other) const { return !(*this == other); }

 private:
  VLRepository* repository_;
  VLFileId fileId_;
};
