#include "VLThread.h"

#include "VLRunnerObject.h"

VLThread::VLThread(const std::string& name, VLRunnerObject* runner, int parameter)
    : parameter_(parameter), runner_(runner) {
  if (runner_) runner_->setThread(this);
  name_ = name;
}

VLThread::~VLThread() {}

void VLThread::requestStop() {
  if (runner_) runner_->stop();
}
