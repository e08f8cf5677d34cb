#include "VLFileSizeReader.h"

#include <system_error>
#include <utility>

#include "VLFileHelper.h"
#include "VLFolder.h"

namespace {

// Requests handed to the helpers at once: few enough that the helpers start
// while the caller is still reading rows, enough that the lock is rare.
const size_t kBatchSize = 64;

}  // namespace

VLFileSizeReader::VLFileSizeReader(VLFileHelper* helper, const std::string& directory, unsigned threads)
    : helper_(helper), directory_(directory + helper->getSeparator()), folder_(helper->openFolder(directory)) {
  pending_.reserve(kBatchSize);
  for (unsigned i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back(&VLFileSizeReader::runHelper, this);
    } catch (const std::system_error&) {
      break;
    }
  }
}

VLFileSizeReader::~VLFileSizeReader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void VLFileSizeReader::add(Request* request) {
  pending_.push_back(request);
  if (pending_.size() >= kBatchSize) handOver();
}

bool VLFileSizeReader::isDone(Request* request, bool wait) {
  if (request->done.load(std::memory_order_acquire)) return true;
  if (!wait) return false;
  handOver();
  // Reads queued batches here rather than wait idle; once none is left, the
  // request is in a batch a helper is reading.
  Batch batch;
  while (!request->done.load(std::memory_order_acquire) && takeBatch(&batch)) read(batch);
  std::unique_lock<std::mutex> lock(mutex_);
  read_.wait(lock, [request] { return request->done.load(std::memory_order_acquire); });
  return true;
}

void VLFileSizeReader::handOver() {
  if (pending_.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(pending_));
  }
  pending_ = Batch();
  pending_.reserve(kBatchSize);
  work_.notify_one();
}

bool VLFileSizeReader::takeBatch(Batch* batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return false;
  *batch = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

void VLFileSizeReader::read(const Batch& batch) {
  std::string path;
  for (Request* request : batch) {
    if (folder_) {
      request->contentSize = folder_->getFileSize(request->name.c_str());
      request->bitmapSize = folder_->getFileSize((request->name + ".part").c_str());
    } else {
      path = directory_ + request->name;
      request->contentSize = helper_->getFileSize(path);
      request->bitmapSize = helper_->getFileSize(path + ".part");
    }
    request->sizesRead();
    request->done.store(true, std::memory_order_release);
  }
  // Under the lock, so that a caller between its check and its wait cannot
  // miss the news.
  std::lock_guard<std::mutex> lock(mutex_);
  read_.notify_all();
}

void VLFileSizeReader::runHelper() {
  for (;;) {
    Batch batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      batch = std::move(queue_.front());
      queue_.pop_front();
    }
    read(batch);
  }
}
