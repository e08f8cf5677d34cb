#include "SPInvocationGrabber.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <glib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>
#include <thread>
#include <typeinfo>

#include "SystemLog.h"
#include "ThreadHandoff.h"

namespace {

const int kMaxFrames = 128;
// The saved stack starts with this many frames of the grabber's own set-up.
const int kOwnFrames = 3;

std::string demangledName(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string result = status == 0 && name ? name : type.name();
  std::free(name);
  return result;
}

// The name and description of the exception being handled.
void describeCurrentException(std::string* name, std::string* description) {
  try {
    throw;
  } catch (const std::exception& e) {
    *name = demangledName(typeid(e));
    *description = e.what();
  } catch (...) {
    std::type_info* type = abi::__cxa_current_exception_type();
    *name = type ? demangledName(*type) : "unknown";
    *description = "(not a std::exception)";
  }
}

}  // namespace

__attribute__((noinline)) std::shared_ptr<SPInvocationGrabber> SPInvocationGrabber::create(bool saveStack) {
  return std::shared_ptr<SPInvocationGrabber>(new SPInvocationGrabber(saveStack, __builtin_return_address(0)));
}

SPInvocationGrabber::SPInvocationGrabber(bool saveStack, void* caller) {
  if (saveStack) saveBacktrace(caller);
}

void SPInvocationGrabber::saveBacktrace(void* caller) {
  void* addresses[kMaxFrames];
  int count = backtrace(addresses, kMaxFrames);
  char** symbols = backtrace_symbols(addresses, count);
  if (!symbols) return;
  // How many frames the set-up took depends on inlining and on sanitizers:
  // keep exactly kOwnFrames of them before the frame of create's caller.
  int callerIndex = 0;
  while (callerIndex < count && addresses[callerIndex] != caller) ++callerIndex;
  if (callerIndex == count) callerIndex = kOwnFrames;
  frames_.assign(kOwnFrames, std::string());
  frames_.insert(frames_.end(), symbols + std::min(callerIndex, count), symbols + count);
  std::free(symbols);
}

std::shared_ptr<SPInvocationGrabber> SPInvocationGrabber::grab() {
  return create(true);
}

std::shared_ptr<SPInvocationGrabber> SPInvocationGrabber::invokeAfter(double seconds) {
  std::shared_ptr<SPInvocationGrabber> grabber = grab();
  runAfterTimer(grabber, seconds);
  return grabber;
}

std::shared_ptr<SPInvocationGrabber> SPInvocationGrabber::nextRunloop() {
  return invokeAfter(0);
}

std::shared_ptr<SPInvocationGrabber> SPInvocationGrabber::inBackground() {
  std::shared_ptr<SPInvocationGrabber> grabber = grab();
  grabber->setBackgroundAfterForward(true);
  return grabber;
}

std::shared_ptr<SPInvocationGrabber> SPInvocationGrabber::onMainAsync(bool async) {
  std::shared_ptr<SPInvocationGrabber> grabber = grab();
  grabber->setOnMainAfterForward(true);
  grabber->setWaitUntilDone(!async);
  return grabber;
}

void SPInvocationGrabber::runAfterTimer(std::shared_ptr<SPInvocationGrabber> grabber, double seconds) {
  GMainContext* context = g_main_context_get_thread_default();
  if (!context) context = g_main_context_default();
  guint milliseconds = seconds <= 0 ? 0 : static_cast<guint>(seconds * 1000.0);
  GSource* timer = g_timeout_source_new(milliseconds);
  // The timer keeps the grabber alive until it has fired.
  auto* held = new std::shared_ptr<SPInvocationGrabber>(std::move(grabber));
  g_source_set_callback(
      timer,
      [](gpointer data) -> gboolean {
        (*static_cast<std::shared_ptr<SPInvocationGrabber>*>(data))->invokeFromScheduler();
        return G_SOURCE_REMOVE;
      },
      held, [](gpointer data) { delete static_cast<std::shared_ptr<SPInvocationGrabber>*>(data); });
  g_source_attach(timer, context);
  g_source_unref(timer);
}

void SPInvocationGrabber::forward(Invocation call) {
  invocation_ = std::move(call);
  if (backgroundAfterForward_) {
    std::thread([self = shared_from_this()] { self->invokeFromScheduler(); }).detach();
    return;
  }
  if (onMainAfterForward_) runOnMain();
}

void SPInvocationGrabber::runOnMain() {
  GMainContext* main = g_main_context_default();
  // The main thread itself (or nobody running the main loop): run at once,
  // since waiting for a loop that cannot run would never end.
  if (waitUntilDone_ && g_main_context_acquire(main)) {
    invokeFromScheduler();
    g_main_context_release(main);
    return;
  }
  struct Pending {
    std::shared_ptr<SPInvocationGrabber> grabber;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
  };
  auto pending = std::make_shared<Pending>();
  pending->grabber = shared_from_this();
  auto* held = new std::shared_ptr<Pending>(pending);
  // An idle source, not g_main_context_invoke: that runs the call at once when
  // nobody owns the context, and an asynchronous call must wait for a later pass.
  GSource* idle = g_idle_source_new();
  g_source_set_priority(idle, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      idle,
      [](gpointer data) -> gboolean {
        receiveFromAnotherThread();
        std::shared_ptr<Pending>& p = *static_cast<std::shared_ptr<Pending>*>(data);
        struct Signal {  // wakes the waiting sender even when the call throws
          Pending& p;
          ~Signal() {
            std::lock_guard<std::mutex> lock(p.mutex);
            p.finished = true;
            p.done.notify_all();
          }
        } signal{*p};
        p->grabber->invokeFromScheduler();
        return G_SOURCE_REMOVE;
      },
      held,
      [](gpointer data) {
        receiveFromAnotherThread();
        delete static_cast<std::shared_ptr<Pending>*>(data);
      });
  publishToAnotherThread();
  g_source_attach(idle, main);
  g_source_unref(idle);
  if (!waitUntilDone_) return;
  std::unique_lock<std::mutex> lock(pending->mutex);
  pending->done.wait(lock, [&] { return pending->finished; });
}

void SPInvocationGrabber::invoke() {
  if (!invocation_) return;
  try {
    invocation_();
  } catch (...) {
    std::string name, description;
    describeCurrentException(&name, &description);
    writeSystemLog("SPInvocationGrabber::invoke", "SPInvocationGrabber's target raised " + name + ":\n\t" +
                                                      description + "\nInvocation was originally scheduled at:");
    printBacktrace(std::cout);
    std::cout << "\n";
    std::cout.flush();
    throw;
  }
  invocation_ = nullptr;
}

void SPInvocationGrabber::invokeFromScheduler() {
  try {
    invoke();
  } catch (...) {
    // Already logged by invoke. Letting it unwind through a thread's entry or
    // through GLib's C frames would end the process.
  }
}

void SPInvocationGrabber::printBacktrace(std::ostream& out) const {
  for (size_t i = kOwnFrames; i < frames_.size(); ++i) out << frames_[i] << "\n";
}
