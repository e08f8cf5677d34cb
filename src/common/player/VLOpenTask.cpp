#include "VLOpenTask.h"

#include "VLWakeEvent.h"

VLOpenTask::VLOpenTask(const std::string& url, std::atomic<size_t>* fileSize, std::string* data, VLFileHandle** handle,
                       std::shared_ptr<VLWakeEvent> served, std::shared_ptr<const std::atomic<bool>> wanted)
    : VLTask(Open),
      url_(url),
      fileSize_(fileSize),
      data_(data),
      handle_(handle),
      served_(std::move(served)),
      wanted_(std::move(wanted)) {
  *handle_ = nullptr;
  data_->clear();
  fileSize_->store(kPendingSize, std::memory_order_relaxed);
}

void VLOpenTask::setFileSize(size_t size) {
  fileSize_->store(size, std::memory_order_release);
  if (served_) served_->signal();
}
