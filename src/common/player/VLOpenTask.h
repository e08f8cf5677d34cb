#pragma once

#include "VLTask.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

class VLFileHandle;
class VLWakeEvent;

// The open of one stream, waited for by the engine thread in VLPlayer::streamOpen.
//
// The three result variables live on that waiting thread; the task only points
// at them. The size is the hand-over signal: it holds kPendingSize until the
// worker has written the handle and the data, and setFileSize publishes all
// three at once (release store, matched by the waiter's acquire load). After
// setFileSize the worker must not touch the variables again: the waiter may
// return and they cease to exist. The wake event, shared with the waiter, is
// signalled after the size is published, so the waiter need not poll.
class VLOpenTask : public VLTask {
 public:
  static const size_t kPendingSize = static_cast<size_t>(-1);

  // Writes the pending marker into *fileSize, null into *handle and clears *data.
  // `wanted`, when given, turns false once the open's stream is let go.
  VLOpenTask(const std::string& url, std::atomic<size_t>* fileSize, std::string* data, VLFileHandle** handle,
             std::shared_ptr<VLWakeEvent> served = nullptr, std::shared_ptr<const std::atomic<bool>> wanted = nullptr);

  std::string getUrl() const { return url_; }
  bool isAbandoned() const { return wanted_ && !wanted_->load(); }

  VLFileHandle* getHandle() const { return *handle_; }
  void setHandle(VLFileHandle* handle) { *handle_ = handle; }
  void setData(const std::string& data) { *data_ = data; }
  // Releases the waiting thread; call last.
  void setFileSize(size_t size);

 private:
  std::string url_;
  std::atomic<size_t>* fileSize_;
  std::string* data_;
  VLFileHandle** handle_;
  std::shared_ptr<VLWakeEvent> served_;
  std::shared_ptr<const std::atomic<bool>> wanted_;
};
