#pragma once

#include <string>

class VLRunnerObject;

// A named platform thread that runs a runner's loop. Made (and started) only by
// VLPlatformFactory::createThread. The name is kept for the system's own use.
//
// Lifecycle: the owner stops the runner, joins the thread, then deletes it.
// Deleting a thread object never ends the platform thread.
class VLThread {
 public:
  // Stores runner and parameter and, when runner is not null, registers itself
  // as the runner's driving thread (VLRunnerObject::setThread), which also
  // clears the runner's stop flag before the platform thread exists.
  VLThread(const std::string& name, VLRunnerObject* runner, int parameter);
  virtual ~VLThread();

  // Returns when the thread's routine has returned. Call at most once, from a
  // thread other than this one.
  virtual void join() = 0;

  std::string getName() const { return name_; }
  int getParameter() const { return parameter_; }
  VLRunnerObject* getRunner() const { return runner_; }

  // Asks the runner to stop (VLRunnerObject::stop); nothing without a runner.
  void requestStop();

 private:
  std::string name_;
  int parameter_;
  VLRunnerObject* runner_;
};
