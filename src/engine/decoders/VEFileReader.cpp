#include "VEFileReader.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

// Requests whose stream went away before their result was written. The
// server may still write into them, so they live until it has.
std::mutex orphanMutex;
std::vector<std::unique_ptr<VEFileReader::Request>>& orphans() {
  static auto* list = new std::vector<std::unique_ptr<VEFileReader::Request>>();
  return *list;
}

bool answered(const VEFileReader::Request& request) {
  return request.request.result.load(std::memory_order_acquire) != VE_ERR_NOTREADY;
}

}  // namespace

VEFileReader::VEFileReader(VEFileReaderHost* host, VEFileAsyncReadCallback readCallback, void* handle, void* userData,
                           unsigned int fileSize, unsigned int blockAlign, unsigned int bufferSize)
    : host_(host),
      readCallback_(readCallback),
      handle_(handle),
      userData_(userData),
      fileSize_(fileSize),
      blockAlign_(std::max(1u, blockAlign)),
      bufferSize_(std::max(bufferSize, std::max(1u, blockAlign))),
      endOfData_(fileSize) {
  // The window must hold whole blocks.
  bufferSize_ -= bufferSize_ % blockAlign_;
}

VEFileReader::~VEFileReader() {
  if (hasOutstanding()) abandonOutstanding();
}

long VEFileReader::read(void* destination, size_t size) {
  auto* out = static_cast<uint8_t*>(destination);
  size_t copied = 0;
  while (copied < size && position_ < endOfData_) {
    if (inWindow(position_)) {
      uint64_t available = std::min(windowEnd(), endOfData_) - position_;
      size_t count = static_cast<size_t>(std::min<uint64_t>(size - copied, available));
      memcpy(out + copied, window_.data() + (position_ - windowStart_), count);
      position_ += count;
      copied += count;
      continue;
    }
    bool liveCovers = live_ && position_ >= live_->request.offset &&
                      position_ < uint64_t(live_->request.offset) + live_->request.sizeBytes;
    if (liveCovers) {
      if (collectLive()) continue;
      if (copied > 0) break;  // hand over what we have rather than wait
      if (!host_->idle()) return -1;
      continue;
    }
    if (copied > 0) break;
    abandonLive();
    uint64_t blockStart = position_ - position_ % blockAlign_;
    if (issue(blockStart, 100) < 0) return -1;
  }
  prefetch();
  return static_cast<long>(copied);
}

int VEFileReader::issue(uint64_t offset, int priority) {
  if (offset >= endOfData_) return 0;
  uint64_t space = bufferSize_;
  bool append = !window_.empty() && offset == windowEnd();
  if (append) {
    uint64_t keepFrom = std::max(windowStart_, position_ - position_ % blockAlign_);
    keepFrom = std::min(keepFrom, windowEnd());
    space = bufferSize_ - std::min<uint64_t>(bufferSize_, windowEnd() - keepFrom);
    space -= space % blockAlign_;
  }
  uint64_t size = std::min<uint64_t>(space, uint64_t(fileSize_) - offset);
  if (size == 0) return 0;

  auto request = std::make_unique<Request>();
  request->data.resize(static_cast<size_t>(size));
  request->request.handle = handle_;
  request->request.offset = static_cast<unsigned int>(offset);
  request->request.sizeBytes = static_cast<unsigned int>(size);
  request->request.priority = std::clamp(priority, 0, 100);
  request->request.buffer = request->data.data();
  request->request.bytesRead = 0;
  request->request.userData = userData_;
  request->request.result.store(VE_ERR_NOTREADY, std::memory_order_release);

  if (!host_->enterCallback()) return -1;
  VEResult result = readCallback_(&request->request, userData_);
  host_->leaveCallback();
  if (result != VE_OK) {
    // Not queued: nobody holds the request, and the data ends here.
    failure_ = VE_ERR_INTERNAL;
    endOfData_ = std::min<uint64_t>(endOfData_, offset);
    return 0;
  }
  live_ = std::move(request);
  return 1;
}

bool VEFileReader::collectLive() {
  if (!live_ || !answered(*live_)) return false;
  takeResult(std::move(live_));
  return true;
}

void VEFileReader::takeResult(std::unique_ptr<Request> request) {
  const VEReadRequest& r = request->request;
  int result = r.result.load(std::memory_order_acquire);
  uint64_t bytes = std::min(r.bytesRead, r.sizeBytes);
  if (result == VE_OK || result == VE_ERR_FILE_EOF) {
    // A short read, whatever its code, means the data ends there.
    if (bytes < r.sizeBytes) endOfData_ = std::min<uint64_t>(endOfData_, r.offset + bytes);
  } else {
    bytes = 0;
    failure_ = VE_ERR_INTERNAL;
    endOfData_ = std::min<uint64_t>(endOfData_, r.offset);
  }
  if (!window_.empty() && r.offset == windowEnd()) {
    uint64_t keepFrom = std::max(windowStart_, position_ - position_ % blockAlign_);
    keepFrom = std::min(keepFrom, windowEnd());
    window_.erase(window_.begin(), window_.begin() + static_cast<long>(keepFrom - windowStart_));
    windowStart_ = keepFrom;
    window_.insert(window_.end(), request->data.begin(), request->data.begin() + static_cast<long>(bytes));
  } else {
    window_.assign(request->data.begin(), request->data.begin() + static_cast<long>(bytes));
    windowStart_ = r.offset;
  }
}

void VEFileReader::prefetch() {
  if (live_ && !collectLive()) return;
  if (window_.empty() || windowEnd() >= endOfData_) return;
  if (position_ < windowStart_ || position_ > windowEnd()) return;
  if (windowEnd() - position_ >= bufferSize_ / 2) return;
  issue(windowEnd(), host_->urgency());
}

void VEFileReader::abandonLive() {
  if (live_) abandoned_.push_back(std::move(live_));
}

bool VEFileReader::hasOutstanding() {
  collectLive();
  abandoned_.erase(std::remove_if(abandoned_.begin(), abandoned_.end(),
                                  [](const std::unique_ptr<Request>& r) { return answered(*r); }),
                   abandoned_.end());
  return live_ || !abandoned_.empty();
}

void VEFileReader::abandonOutstanding() {
  abandonLive();
  std::lock_guard<std::mutex> lock(orphanMutex);
  for (auto& request : abandoned_) orphans().push_back(std::move(request));
  abandoned_.clear();
}

void VEFileReader::pruneOrphans() {
  std::lock_guard<std::mutex> lock(orphanMutex);
  auto& list = orphans();
  list.erase(std::remove_if(list.begin(), list.end(), [](const std::unique_ptr<Request>& r) { return answered(*r); }),
             list.end());
}

size_t VEFileReader::orphanCount() {
  std::lock_guard<std::mutex> lock(orphanMutex);
  return orphans().size();
}
