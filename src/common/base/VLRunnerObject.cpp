#include "VLRunnerObject.h"

#include "VLPlatformFactory.h"
#include "VLThread.h"

VLRunnerObject::VLRunnerObject() : stop_(false), thread_(nullptr) {}

VLRunnerObject::~VLRunnerObject() {
  delete thread_;
}

void VLRunnerObject::run() {
  // The flag is deliberately not cleared here: it was cleared when the thread
  // registered itself, so a stop() that comes before this thread gets scheduled
  // still ends the loop.
  while (!stop_.load(std::memory_order_acquire)) executeRunLoop();
}

void VLRunnerObject::stop() {
  stop_.store(true, std::memory_order_release);
}

void VLRunnerObject::executeRunLoop() {}

VLThread* VLRunnerObject::startThread(const std::string& name, int parameter) {
  return VLPlatformFactory::instance()->createThread(name, this, parameter);
}

void VLRunnerObject::setThread(VLThread* thread) {
  thread_ = thread;
  if (thread) stop_.store(false, std::memory_order_release);
}

void* VLRunnerObject::threadEntry(void* runner) {
  if (runner) static_cast<VLRunnerObject*>(runner)->run();
  return nullptr;
}
