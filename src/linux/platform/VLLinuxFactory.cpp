#include "VLLinuxFactory.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "VLCryptoLinuxImpl.h"
#include "VLLinuxFileHelper.h"
#include "VLLinuxProxyConfig.h"
#include "VLLinuxSettingHelper.h"
#include "VLMappedFileLinuxImpl.h"
#include "VLMutexLinuxImpl.h"
#include "VLThreadLinuxImpl.h"
#include "VLWakeEventLinuxImpl.h"

namespace {

// Every repository file a stream or a download holds open takes descriptors
// (content, bitmap), so a page with a few hundred sounds passes the usual
// soft limit of 1,024 and every further open fails as if the disk could not
// be written. The soft limit is raised to the hard one, once per process;
// nothing here waits on descriptors with select().
void raiseOpenFileLimit() {
  rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  rlim_t before = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  // Standard error, not the log: the log is set up through this factory.
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
    fprintf(stderr, "Open file limit stays at %llu: %s\n", static_cast<unsigned long long>(before), strerror(errno));
}

}  // namespace

VLLinuxFactory::VLLinuxFactory() : proxyFound_(false) {
  raiseOpenFileLimit();
}

VLLinuxFactory::~VLLinuxFactory() {}

VLThread* VLLinuxFactory::createThread(const std::string& name, VLRunnerObject* runner, int parameter) {
  VLThreadLinuxImpl* thread = new VLThreadLinuxImpl(name, runner, parameter);
  if (!thread->start()) {
    delete thread;
    return nullptr;
  }
  return thread;
}

VLMutex* VLLinuxFactory::createMutex() {
  return new VLMutexLinuxImpl();
}

VLWakeEvent* VLLinuxFactory::createWakeEvent() {
  return new VLWakeEventLinuxImpl();
}

VLCrypto* VLLinuxFactory::createCrypto() {
  return new VLCryptoLinuxImpl();
}

VLFileHelper* VLLinuxFactory::getFileHelper() {
  // Shared by every factory instance (a test factory derived from this one
  // reaches the same helpers); made once, never destroyed.
  static VLFileHelper* helper = new VLLinuxFileHelper();
  return helper;
}

VLMappedFile* VLLinuxFactory::createMappedFile(const std::string& path) {
  return new VLMappedFileLinuxImpl(path);
}

void VLLinuxFactory::sleep(uint64_t milliseconds) {
  // Split into whole seconds so that no count wraps, and resume after signals.
  struct timespec remaining;
  remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
  remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

double VLLinuxFactory::getTime() {
  // Monotonic, so that retry delays and ages neither stall nor fire early when
  // the wall clock is stepped.
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int64_t VLLinuxFactory::getEpochTime() {
  return static_cast<int64_t>(time(nullptr));
}

VLSettingHelper* VLLinuxFactory::getSettingHelper() {
  static VLLinuxSettingHelper* helper = new VLLinuxSettingHelper();
  return helper;
}

bool VLLinuxFactory::getProxyConfig(const std::string& url, std::string& proxy) {
  std::call_once(proxyQueried_, [this] { proxyFound_ = GetProxyConfig(proxy_); });
  proxy = proxy_;
  return proxyFound_;
}

std::string VLLinuxFactory::getNoProxyHosts() {
  std::call_once(noProxyQueried_, [this] { noProxy_ = GetNoProxyHosts(); });
  return noProxy_;
}

// The platform layer's default factory (see VLPlatformFactory::createDefault).
VLPlatformFactory* VLPlatformFactory::createDefault() {
  // Made once, thread-safely, and never destroyed: helpers it hands out are used
  // until the very end of the process.
  static VLPlatformFactory* factory = new VLLinuxFactory();
  return factory;
}
