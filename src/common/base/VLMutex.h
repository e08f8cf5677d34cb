#pragma once

// A recursive lock: the holding thread may lock again and must unlock as many
// times. Made by VLPlatformFactory::createMutex; owned by the caller.
class VLMutex {
 public:
  virtual ~VLMutex() {}
  virtual void lock() = 0;
  virtual void unlock() = 0;
};

// Holds a VLMutex for the lifetime of a scope.
class VLMutexLocker {
 public:
  explicit VLMutexLocker(VLMutex* mutex) : mutex_(mutex) { mutex_->lock(); }
  ~VLMutexLocker() { mutex_->unlock(); }
  VLMutexLocker(const VLMutexLocker&) = delete;
  VLMutexLocker& operator=(const VLMutexLocker&) = delete;

 private:
  VLMutex* mutex_;
};
