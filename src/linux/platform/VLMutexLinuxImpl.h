#pragma once

#include <pthread.h>

#include "VLMutex.h"

// A recursive POSIX mutex.
class VLMutexLinuxImpl : public VLMutex {
 public:
  VLMutexLinuxImpl();
  ~VLMutexLinuxImpl() override;
  void lock() override;
  void unlock() override;

 private:
  pthread_mutex_t mutex_;
};
