#pragma once

#include "VLPlatformFactory.h"

// A platform factory that hands every call to another factory, the target:
// derive from it and override only what a test or a tool changes (a clock,
// a file helper, mapped files that fail on demand). Every virtual of
// VLPlatformFactory is forwarded, the ones with a default of their own too,
// so a wrapper never answers in place of its target by accident.
//
// Ownership: the target is not owned and must outlive the wrapper. Threads:
// as the target; the wrapper keeps no state of its own.
class VLPlatformFactoryWrapper : public VLPlatformFactory {
 public:
  explicit VLPlatformFactoryWrapper(VLPlatformFactory* target) : target_(target) {}

  VLPlatformFactory* target() const { return target_; }

  VLThread* createThread(const std::string& name, VLRunnerObject* runner, int parameter) override;
  VLMutex* createMutex() override;
  VLWakeEvent* createWakeEvent() override;
  VLCrypto* createCrypto() override;
  VLFileHelper* getFileHelper() override;
  VLMappedFile* createMappedFile(const std::string& path) override;
  void sleep(uint64_t milliseconds) override;
  double getTime() override;
  int64_t getEpochTime() override;
  VLSettingHelper* getSettingHelper() override;
  bool getProxyConfig(const std::string& url, std::string& proxy) override;
  std::string getNoProxyHosts() override;

 private:
  VLPlatformFactory* target_;
};
