#include "VLReadTask.h"

VLReadTask::VLReadTask(VEReadRequest* request) : VLTask(Read), request_(request) {}

double VLReadTask::noteTry(size_t bytes, double now) {
  if (progressAt_ < 0 || bytes > bytesFound_) {
    bytesFound_ = bytes;
    progressAt_ = now;
  }
  return now - progressAt_;
}
