#include "VLPlatformFactory.h"

#include <atomic>

namespace {

std::atomic<VLPlatformFactory*> g_factory{nullptr};

}  // namespace

VLPlatformFactory* VLPlatformFactory::instance() {
  VLPlatformFactory* factory = g_factory.load(std::memory_order_acquire);
  if (factory) return factory;
  VLPlatformFactory* expected = nullptr;
  g_factory.compare_exchange_strong(expected, createDefault(), std::memory_order_acq_rel);
  return g_factory.load(std::memory_order_acquire);
}

VLPlatformFactory* VLPlatformFactory::setInstance(VLPlatformFactory* factory) {
  return g_factory.exchange(factory, std::memory_order_acq_rel);
}

bool VLPlatformFactory::getProxyConfig(const std::string& url, std::string& proxy) {
  return false;
}

std::string VLPlatformFactory::getNoProxyHosts() {
  return std::string();
}
