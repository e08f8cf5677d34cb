#pragma once

#include <cstddef>

#include "VLTask.h"

struct VEReadRequest;

// One asynchronous read of the audio engine. The request is the engine's: it
// stays alive until its result is written, and writing the result (last,
// release ordering) hands the buffer back to the engine.
class VLReadTask : public VLTask {
 public:
  explicit VLReadTask(VEReadRequest* request);

  VEReadRequest* getRequest() const { return request_; }

  // Records a try that found `bytes` of the request present; answers how
  // long (seconds of `now`'s clock) the reader has been starved: since the
  // first try, or since a try last found more. Worker thread only.
  double noteTry(size_t bytes, double now);

 private:
  VEReadRequest* request_;
  size_t bytesFound_ = 0;
  double progressAt_ = -1;  // no try yet
};
