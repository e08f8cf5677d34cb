#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Records one call and replays it later or elsewhere: kept for the caller to
// schedule, run on a new background thread, run on the main thread (the thread
// that runs GLib's default main context), or run from a timer.
//
// Use: take a grabber from one of the factory operations, then hand it the
// call with `forward`. The call captures its target and arguments by value
// (share ownership with std::shared_ptr where the target must stay alive).
//
// Every grabber saves the stack of the place where it was made; when the
// recorded call throws, `invoke` logs the exception with that stack and lets
// the exception continue to its caller. When the grabber itself runs the call
// (background thread, main loop, timer) the exception ends there, logged:
// unwinding through a thread's entry or GLib's C frames would end the process.
//
// One grabber serves one call on one path; it takes no lock.
class SPInvocationGrabber : public std::enable_shared_from_this<SPInvocationGrabber> {
 public:
  using Invocation = std::function<void()>;

  // A grabber with no flags set; the stack is saved when saveStack is true.
  static std::shared_ptr<SPInvocationGrabber> create(bool saveStack = true);

  // Factory operations. Each returns the grabber the caller then `forward`s to.
  // grab: the call is only recorded; the caller takes `invocation()`.
  static std::shared_ptr<SPInvocationGrabber> grab();
  // invokeAfter: a one-shot timer on the calling thread's default main context
  // (g_main_context_get_thread_default, else the global default) runs the call
  // after the interval; forward the call before that context next iterates.
  static std::shared_ptr<SPInvocationGrabber> invokeAfter(double seconds);
  // nextRunloop: invokeAfter(0), the next pass of the context.
  static std::shared_ptr<SPInvocationGrabber> nextRunloop();
  // inBackground: the call runs at once on a new detached thread.
  static std::shared_ptr<SPInvocationGrabber> inBackground();
  // onMainAsync: the call runs on the main thread; with async false the
  // forwarding thread waits until it has run (at once when it is the main thread).
  static std::shared_ptr<SPInvocationGrabber> onMainAsync(bool async);

  // Records the call (replacing an earlier one) and, with a flag set, starts it.
  void forward(Invocation call);

  // Runs the recorded call. On an exception: logs it with the saved stack,
  // keeps the call, and rethrows. On success the recorded call is cleared.
  void invoke();

  const Invocation& invocation() const { return invocation_; }
  void setInvocation(Invocation call) { invocation_ = std::move(call); }

  bool backgroundAfterForward() const { return backgroundAfterForward_; }
  void setBackgroundAfterForward(bool value) { backgroundAfterForward_ = value; }
  bool onMainAfterForward() const { return onMainAfterForward_; }
  void setOnMainAfterForward(bool value) { onMainAfterForward_ = value; }
  bool waitUntilDone() const { return waitUntilDone_; }
  void setWaitUntilDone(bool value) { waitUntilDone_ = value; }

  // Writes the saved frames from index 3 on (the first three are the
  // grabber's own set-up), one per line.
  void printBacktrace(std::ostream& out) const;
  int frameCount() const { return static_cast<int>(frames_.size()); }

 private:
  SPInvocationGrabber(bool saveStack, void* caller);
  // Saves the stack from the frame of `caller` (the code that asked for the grabber) on.
  void saveBacktrace(void* caller);
  void runOnMain();
  // invoke for the grabber's own schedulers (thread, main loop, timer): the
  // exception is logged and stops there.
  void invokeFromScheduler();
  static void runAfterTimer(std::shared_ptr<SPInvocationGrabber> grabber, double seconds);

  Invocation invocation_;
  std::vector<std::string> frames_;
  bool backgroundAfterForward_ = false;
  bool onMainAfterForward_ = false;
  bool waitUntilDone_ = false;
};
