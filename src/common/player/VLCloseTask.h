#pragma once

#include "VLTask.h"

class VLFileHandle;

// The end of one stream: undoes the two opens that its open task took on the
// repository file and deletes the handle. The task does not own the handle
// until it is served; serving it deletes the handle.
class VLCloseTask : public VLTask {
 public:
  explicit VLCloseTask(VLFileHandle* handle);

  VLFileHandle* getHandle() const { return handle_; }

 private:
  VLFileHandle* handle_;
};
