#include "SPX11ErrorTrap.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex trapMutex;  // one trap at a time across our threads
std::atomic<Display*> trappedDisplay{nullptr};
std::atomic<int> trappedError{0};
XErrorHandler previousHandler = nullptr;
std::once_flag installed;

int handleError(Display* display, XErrorEvent* event) {
  if (display == trappedDisplay.load()) {
    int expected = 0;
    trappedError.compare_exchange_strong(expected, event->error_code);
    return 0;
  }
  return previousHandler ? previousHandler(display, event) : 0;
}

}  // namespace

SPX11ErrorTrap::SPX11ErrorTrap(Display* display) : display_(display) {
  std::call_once(installed, [] { previousHandler = XSetErrorHandler(handleError); });
  trapMutex.lock();
  trappedError = 0;
  trappedDisplay = display;
}

SPX11ErrorTrap::~SPX11ErrorTrap() {
  XSync(display_, False);
  trappedDisplay = nullptr;
  trapMutex.unlock();
}

int SPX11ErrorTrap::sync() {
  XSync(display_, False);
  return trappedError.load();
}
