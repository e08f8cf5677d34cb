#pragma once

#include "VLTask.h"

class VLFileHandle;

// Drops every read of one stream that is still pending when the task is served.
// The cancelled reads receive no result. The handle is not owned.
class VLCancelTask : public VLTask {
 public:
  explicit VLCancelTask(VLFileHandle* handle);

  VLFileHandle* getHandle() const { return handle_; }

 private:
  VLFileHandle* handle_;
};
