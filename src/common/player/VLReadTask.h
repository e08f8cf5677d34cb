#pragma once

#include "VLTask.h"

struct VEReadRequest;

// One asynchronous read of the audio engine. The request is the engine's: it
// stays alive until its result is written, and writing the result (last,
// release ordering) hands the buffer back to the engine.
class VLReadTask : public VLTask {
 public:
  explicit VLReadTask(VEReadRequest* request);

  VEReadRequest* getRequest() const { return request_; }

 private:
  VEReadRequest* request_;
};
