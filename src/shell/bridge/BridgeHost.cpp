#include "BridgeHost.h"

#include <atomic>
#include <cassert>

namespace {

// Set on the main thread before the core starts, read also on its worker.
std::atomic<BridgeHost*> installedHost{nullptr};

}  // namespace

BridgeHost& BridgeHost::instance() {
  BridgeHost* host = installedHost.load(std::memory_order_acquire);
  assert(host != nullptr);
  return *host;
}

void BridgeHost::install(BridgeHost* host) {
  installedHost.store(host, std::memory_order_release);
}
