#pragma once

#include <atomic>
#include <string>

class VLThread;

// Base of an object driven by a thread of its own.
//
// Calling order: construct; startThread; the thread runs run(), which calls
// executeRunLoop() until the stop flag is set; the owner calls stop(), then
// getThread()->join(), then deletes the runner (which deletes its thread).
// A stop() issued any time after startThread() returned is never lost: the flag
// is cleared when the thread registers itself, before the platform thread starts.
class VLRunnerObject {
 public:
  VLRunnerObject();
  // Deletes the driving thread, if any, without joining it: join first.
  virtual ~VLRunnerObject();

  // The thread's loop: executeRunLoop() until the stop flag is set. Does not
  // sleep between passes; each pass paces itself.
  virtual void run();

  // Sets the stop flag; the running pass completes. Any thread may call.
  virtual void stop();

  // One pass of the owner's work; empty here.
  virtual void executeRunLoop();

  // Asks the platform factory for a thread named `name` running run(); returns
  // it (also kept as getThread()), or null when it cannot be started.
  VLThread* startThread(const std::string& name, int parameter);

  // Stores the driving thread and clears the stop flag (called by the VLThread
  // constructor, before the platform thread starts). A derived class that has
  // joined and deleted its thread itself may set null.
  void setThread(VLThread* thread);
  VLThread* getThread() const { return thread_; }

  // Entry routine of platform threads; `runner` is a VLRunnerObject* or null.
  static void* threadEntry(void* runner);

 protected:
  std::atomic<bool> stop_;
  VLThread* thread_;
};
