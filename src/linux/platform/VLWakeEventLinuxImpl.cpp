#include "VLWakeEventLinuxImpl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "VLLogger.h"

namespace {

// poll takes an int of milliseconds: longer waits go in steps of this.
const uint64_t kLongestPollMs = 1000000;

double monotonicMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

}  // namespace

VLWakeEventLinuxImpl::VLWakeEventLinuxImpl() : descriptor_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (descriptor_ < 0) VL_LOG_ERROR("Unable to make a wake event, waits run to their time-out : " << strerror(errno));
}

VLWakeEventLinuxImpl::~VLWakeEventLinuxImpl() {
  if (descriptor_ >= 0) close(descriptor_);
}

void VLWakeEventLinuxImpl::signal() {
  if (descriptor_ < 0) return;
  uint64_t one = 1;
  // Only a counter at its maximum refuses (EAGAIN), and it is signalled then.
  while (::write(descriptor_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool VLWakeEventLinuxImpl::take() {
  if (descriptor_ < 0) return false;
  uint64_t count = 0;
  ssize_t got;
  while ((got = ::read(descriptor_, &count, sizeof count)) < 0 && errno == EINTR) {
  }
  return got == sizeof count;
}

bool VLWakeEventLinuxImpl::wait(uint64_t milliseconds) {
  const double end = monotonicMilliseconds() + double(milliseconds);
  for (;;) {
    if (take()) return true;
    const double left = end - monotonicMilliseconds();
    if (left <= 0) return false;
    const int step = int(std::min<double>(std::max(1.0, left), double(kLongestPollMs)));
    if (descriptor_ < 0) {
      struct timespec pause = {step / 1000, long(step % 1000) * 1000000L};
      nanosleep(&pause, nullptr);
      continue;
    }
    struct pollfd descriptor = {descriptor_, POLLIN, 0};
    poll(&descriptor, 1, step);
  }
}
