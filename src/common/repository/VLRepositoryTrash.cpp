#include "VLRepositoryTrash.h"

#include "VLFileHelper.h"
#include "VLLogger.h"
#include "VLMutex.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLThread.h"
#include "VLWakeEvent.h"

namespace {

const std::string_view kTrashSuffix = ".deleted";
const std::string_view kBitmapSuffix = ".part";
// The longest idle wait: a put or a stop ends it at once.
const uint64_t kIdleMilliseconds = 1000;

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

VLRepositoryTrash::VLRepositoryTrash()
    : mutex_(VLPlatformFactory::instance()->createMutex()),
      wake_(VLPlatformFactory::instance()->createWakeEvent()),
      pendingBytes_(0),
      pendingPuts_(0),
      running_(false) {}

VLRepositoryTrash::~VLRepositoryTrash() {
  finish();
}

bool VLRepositoryTrash::isTrashName(std::string_view entry) {
  if (!endsWith(entry, kTrashSuffix)) return false;
  entry.remove_suffix(kTrashSuffix.size());
  if (endsWith(entry, kBitmapSuffix)) entry.remove_suffix(kBitmapSuffix.size());
  return VLRepository::isValidFileName(entry);
}

void VLRepositoryTrash::put(const std::vector<std::string>& paths, uint64_t bytes) {
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  Put put{{}, 0};
  for (const std::string& path : paths) {
    std::string trashPath = path + std::string(kTrashSuffix);
    if (files->renameFile(path, trashPath))
      put.paths.push_back(std::move(trashPath));
    else
      files->removeFile(path);
  }
  // Bytes whose files were missing or removed at once are not pending.
  if (!put.paths.empty()) put.bytes = bytes;
  queue(std::move(put));
}

void VLRepositoryTrash::putLeftovers(std::vector<std::string> paths) {
  queue(Put{std::move(paths), 0});
}

void VLRepositoryTrash::queue(Put put) {
  if (put.paths.empty()) return;
  pendingBytes_ += put.bytes;
  ++pendingPuts_;
  {
    VLMutexLocker lock(mutex_.get());
    queue_.push_back(std::move(put));
  }
  if (!running_) running_ = startThread("VLRepositoryTrash", 0) != nullptr;
  wake_->signal();
  if (!running_) {
    // No thread to spare: the files go on the calling thread.
    Put now;
    while (take(&now)) removeAll(now, false);
  }
}

bool VLRepositoryTrash::take(Put* put) {
  VLMutexLocker lock(mutex_.get());
  if (queue_.empty()) return false;
  *put = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

void VLRepositoryTrash::removeAll(const Put& put, bool stoppable) {
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  for (const std::string& path : put.paths) {
    if (stoppable && stop_) return;
    if (!files->removeFile(path) && files->getFileSize(path) != 0)
      VL_LOG_WARN("Unable to remove a deleted repository file : " << path);
  }
  pendingBytes_ -= put.bytes;
  --pendingPuts_;
}

void VLRepositoryTrash::executeRunLoop() {
  Put put;
  if (take(&put))
    removeAll(put, true);
  else
    wake_->wait(kIdleMilliseconds);
}

void VLRepositoryTrash::stop() {
  VLRunnerObject::stop();
  wake_->signal();
}

void VLRepositoryTrash::finish() {
  if (running_) {
    stop();
    getThread()->join();
    delete getThread();
    setThread(nullptr);
    running_ = false;
  }
  VLMutexLocker lock(mutex_.get());
  size_t left = 0;
  for (const Put& put : queue_) left += put.paths.size();
  if (left > 0) VL_LOG_INFO("Deleted repository files are left under their trash names for the next start : " << left);
  queue_.clear();
  pendingBytes_ = 0;
  pendingPuts_ = 0;
}
