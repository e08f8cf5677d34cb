#include "VLThreadLinuxImpl.h"

#include <cstring>

#include "VLLogger.h"
#include "VLRunnerObject.h"

VLThreadLinuxImpl::VLThreadLinuxImpl(const std::string& name, VLRunnerObject* runner, int parameter)
    : VLThread(name, runner, parameter), handle_(), started_(false), joined_(false) {}

VLThreadLinuxImpl::~VLThreadLinuxImpl() {
  if (started_ && !joined_) pthread_detach(handle_);
}

bool VLThreadLinuxImpl::start() {
  int error = pthread_create(&handle_, nullptr, &VLRunnerObject::threadEntry, getRunner());
  if (error != 0) {
    VL_LOG_ERROR("pthread_create has failed (" << error << ") : " << getName());
    if (getRunner()) getRunner()->setThread(nullptr);
    return false;
  }
  started_ = true;
  return true;
}

void VLThreadLinuxImpl::join() {
  if (!started_ || joined_) return;
  pthread_join(handle_, nullptr);
  joined_ = true;
}
