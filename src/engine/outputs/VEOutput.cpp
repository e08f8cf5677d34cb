#include "VEOutput.h"

#include "VEOutputTable.h"

std::unique_ptr<VEOutput> VEOutput::create(VEOutputType type, const std::string& wavPath) {
  const VEOutputEntry* entry = veFindOutput(type);
  if (!entry || !entry->make) return nullptr;
  return entry->make(wavPath);
}

unsigned int VEOutput::driverId(const std::string& device) {
  // FNV-1a: stable across runs and builds.
  uint32_t hash = 2166136261u;
  for (unsigned char c : device) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash == 0 ? 1 : hash;
}
