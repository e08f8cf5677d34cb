#include "VLRepositoryMove.h"

#include "VLFileHelper.h"
#include "VLLogger.h"
#include "VLPlatformFactory.h"
#include "VLThread.h"

namespace {

// Pause of the thread's idle passes once the copying is done, until it is stopped.
const int64_t kIdleMilliseconds = 10;

}  // namespace

VLRepositoryMove::VLRepositoryMove(const std::string& directory, const std::vector<Copy>& copies)
    : directory_(directory), copies_(copies), next_(0), done_(copies.empty()), failed_(false), joined_(true) {}

VLRepositoryMove::~VLRepositoryMove() {
  join();
}

bool VLRepositoryMove::start() {
  if (done_) return true;
  joined_ = !startThread("VLRepositoryMove", 0);
  return !joined_;
}

void VLRepositoryMove::executeRunLoop() {
  if (done_) {
    VLPlatformFactory::instance()->sleep(kIdleMilliseconds);
    return;
  }
  const Copy& copy = copies_[next_];
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  // A file removed meanwhile (a download the user took off) has nothing to carry.
  if (!files->copyFile(copy.from, copy.to) && files->getFileSize(copy.from) != 0) {
    VL_LOG_ERROR("Unable to copy repository file to the new directory : " << copy.from << " => " << copy.to);
    failed_ = true;
    done_ = true;
    return;
  }
  if (++next_ == copies_.size()) done_ = true;
}

void VLRepositoryMove::join() {
  if (joined_) return;
  stop();
  getThread()->join();
  joined_ = true;
}

void VLRepositoryMove::abandon() {
  join();
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  for (const Copy& copy : copies_) files->removeFile(copy.to);
}
