#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "VLFileHelperWrapper.h"
#include "VLPlatformFactoryWrapper.h"

// The platform's file helper with an optional fake answer for the volume's
// space, for limits that no test machine's volume could show, and removals of
// repository trash files that can be held back, to catch a deletion half-way.
class TestFileHelper : public VLFileHelperWrapper {
 public:
  explicit TestFileHelper(VLFileHelper* target) : VLFileHelperWrapper(target) {}

  bool getFreeSpace(const std::string& path, double* available, double* total) override;

  // From now on getFreeSpace answers these figures (or fails when
  // succeed is false) instead of asking the volume.
  void fakeFreeSpace(double available, double total, bool succeed = true);
  // Back to the volume's own figures.
  void useRealFreeSpace() { fake_ = false; }
  // How many times getFreeSpace was asked (a measure of size checks).
  int freeSpaceQueries() const { return freeSpaceQueries_; }

  bool removeFile(const std::string& path) override;
  // While held, a removal of a path ending in ".deleted" waits (any thread
  // may release it).
  void holdTrashRemovals(bool held) { trashHeld_ = held; }
  // Every removal of a path ending in ".deleted" takes this much longer, as
  // on a slow disk (0: none).
  void slowTrashRemovals(unsigned milliseconds) { trashDelayMs_ = milliseconds; }

 private:
  std::atomic<bool> fake_{false};
  std::atomic<bool> succeed_{true};
  std::atomic<double> available_{0};
  std::atomic<double> total_{0};
  std::atomic<int> freeSpaceQueries_{0};
  std::atomic<bool> trashHeld_{false};
  std::atomic<unsigned> trashDelayMs_{0};
};

// The platform's own factory (VLPlatformFactory::createDefault) with clocks
// the test sets and the file helper above. Installed as the process-wide
// factory by install(), before the core is used; the object lives for the
// whole test program.
class TestPlatform : public VLPlatformFactoryWrapper {
 public:
  // The process's test platform, installed on first call.
  static TestPlatform* install();

  double getTime() override;
  int64_t getEpochTime() override;
  VLFileHelper* getFileHelper() override { return &fileHelper_; }

  // Freezes the clock at seconds; advance() moves it forward.
  void setTime(double seconds) {
    fakeTime_ = seconds;
    frozen_ = true;
    step_ = 0;
  }
  void advance(double seconds) { fakeTime_ = fakeTime_ + seconds; }
  // A frozen clock moves ahead by seconds after every read (until setTime):
  // work bounded by time then takes as many reads as the test wants.
  void stepEachRead(double seconds) { step_ = seconds; }
  // Back to the monotonic clock.
  void useRealTime() { frozen_ = false; }
  // The running (not frozen) clock jumps ahead by seconds, as if the process
  // had waited that long: a program that must keep running in real time
  // still reaches its time-outs at once.
  void jumpAhead(double seconds) { offset_ = offset_ + seconds; }

  // Freezes the epoch clock (stored stamps) at seconds since 1970.
  void setEpochTime(int64_t seconds) {
    fakeEpoch_ = seconds;
    epochFrozen_ = true;
  }
  // Back to the system's epoch clock.
  void useRealEpochTime() { epochFrozen_ = false; }

  TestFileHelper& fileHelper() { return fileHelper_; }

 private:
  TestPlatform();

  std::atomic<bool> frozen_{false};
  std::atomic<double> fakeTime_{0};
  std::atomic<double> step_{0};
  std::atomic<double> offset_{0};
  std::atomic<bool> epochFrozen_{false};
  std::atomic<int64_t> fakeEpoch_{0};
  TestFileHelper fileHelper_;
};
