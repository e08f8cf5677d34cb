#pragma once

#include <mutex>
#include <string>

#include "VLPlatformFactory.h"

// The platform factory on Linux: POSIX threads and mutexes, OpenSSL digests,
// POSIX files and mappings, the monotonic clock, the file-backed preference
// store and standard folders, and the proxy from the environment or GNOME.
//
// Tests may derive from it (for instance to override getTime) and install the
// result with VLPlatformFactory::setInstance.
class VLLinuxFactory : public VLPlatformFactory {
 public:
  VLLinuxFactory();
  ~VLLinuxFactory() override;

  VLThread* createThread(const std::string& name, VLRunnerObject* runner, int parameter) override;
  VLMutex* createMutex() override;
  VLWakeEvent* createWakeEvent() override;
  VLCrypto* createCrypto() override;
  VLFileHelper* getFileHelper() override;
  VLMappedFile* createMappedFile(const std::string& path) override;
  void sleep(uint64_t milliseconds) override;
  double getTime() override;
  // time().
  int64_t getEpochTime() override;
  VLSettingHelper* getSettingHelper() override;
  // The system proxy, read once per process (the first call, from whichever
  // thread, reads; every later call returns the same answer).
  bool getProxyConfig(const std::string& url, std::string& proxy) override;
  // no_proxy (then NO_PROXY), read once per process.
  std::string getNoProxyHosts() override;

 private:
  std::once_flag proxyQueried_;
  std::string proxy_;
  bool proxyFound_;
  std::once_flag noProxyQueried_;
  std::string noProxy_;
};
