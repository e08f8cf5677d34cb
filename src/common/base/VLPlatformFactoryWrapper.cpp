#include "VLPlatformFactoryWrapper.h"

VLThread* VLPlatformFactoryWrapper::createThread(const std::string& name, VLRunnerObject* runner, int parameter) {
  return target_->createThread(name, runner, parameter);
}

VLMutex* VLPlatformFactoryWrapper::createMutex() {
  return target_->createMutex();
}

VLWakeEvent* VLPlatformFactoryWrapper::createWakeEvent() {
  return target_->createWakeEvent();
}

VLCrypto* VLPlatformFactoryWrapper::createCrypto() {
  return target_->createCrypto();
}

VLFileHelper* VLPlatformFactoryWrapper::getFileHelper() {
  return target_->getFileHelper();
}

VLMappedFile* VLPlatformFactoryWrapper::createMappedFile(const std::string& path) {
  return target_->createMappedFile(path);
}

void VLPlatformFactoryWrapper::sleep(uint64_t milliseconds) {
  target_->sleep(milliseconds);
}

double VLPlatformFactoryWrapper::getTime() {
  return target_->getTime();
}

int64_t VLPlatformFactoryWrapper::getEpochTime() {
  return target_->getEpochTime();
}

VLSettingHelper* VLPlatformFactoryWrapper::getSettingHelper() {
  return target_->getSettingHelper();
}

bool VLPlatformFactoryWrapper::getProxyConfig(const std::string& url, std::string& proxy) {
  return target_->getProxyConfig(url, proxy);
}

std::string VLPlatformFactoryWrapper::getNoProxyHosts() {
  return target_->getNoProxyHosts();
}
