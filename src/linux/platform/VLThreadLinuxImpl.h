#pragma once

#include <pthread.h>

#include "VLThread.h"

// A POSIX thread running VLRunnerObject::threadEntry on its runner.
class VLThreadLinuxImpl : public VLThread {
 public:
  VLThreadLinuxImpl(const std::string& name, VLRunnerObject* runner, int parameter);
  // A thread that was started and never joined is detached, so that its
  // resources are released when it ends; it is never cancelled.
  ~VLThreadLinuxImpl() override;

  // Starts the platform thread. On failure the runner is left without a
  // driving thread and false is returned.
  bool start();
  void join() override;
  pthread_t getHandle() const { return handle_; }

 private:
  pthread_t handle_;
  bool started_;
  bool joined_;
};
