#include "VLMutexLinuxImpl.h"

VLMutexLinuxImpl::VLMutexLinuxImpl() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex_, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

VLMutexLinuxImpl::~VLMutexLinuxImpl() {
  pthread_mutex_destroy(&mutex_);
}

void VLMutexLinuxImpl::lock() {
  pthread_mutex_lock(&mutex_);
}

void VLMutexLinuxImpl::unlock() {
  pthread_mutex_unlock(&mutex_);
}
