#include "TestPlatform.h"

#include <chrono>
#include <thread>

bool TestFileHelper::getFreeSpace(const std::string& path, double* available, double* total) {
  ++freeSpaceQueries_;
  if (!fake_) return VLFileHelperWrapper::getFreeSpace(path, available, total);
  if (!succeed_) return false;
  if (available) *available = available_;
  if (total) *total = total_;
  return true;
}

bool TestFileHelper::removeFile(const std::string& path) {
  const std::string trash = ".deleted";
  bool isTrash = path.size() >= trash.size() && path.compare(path.size() - trash.size(), trash.size(), trash) == 0;
  while (isTrash && trashHeld_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (isTrash && trashDelayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(trashDelayMs_));
  return VLFileHelperWrapper::removeFile(path);
}

void TestFileHelper::fakeFreeSpace(double available, double total, bool succeed) {
  available_ = available;
  total_ = total;
  succeed_ = succeed;
  fake_ = true;
}

TestPlatform::TestPlatform()
    : VLPlatformFactoryWrapper(VLPlatformFactory::createDefault()), fileHelper_(target()->getFileHelper()) {}

TestPlatform* TestPlatform::install() {
  static TestPlatform* platform = [] {
    TestPlatform* made = new TestPlatform();
    VLPlatformFactory::setInstance(made);
    return made;
  }();
  return platform;
}

double TestPlatform::getTime() {
  if (frozen_) {
    double time = fakeTime_;
    if (step_ != 0) fakeTime_ = time + step_;
    return time;
  }
  return VLPlatformFactoryWrapper::getTime() + offset_;
}

int64_t TestPlatform::getEpochTime() {
  if (epochFrozen_) return fakeEpoch_;
  return VLPlatformFactoryWrapper::getEpochTime();
}
