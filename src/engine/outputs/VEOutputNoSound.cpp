#include "VEOutputNoSound.h"

bool VEOutputNoSound::listDrivers(std::vector<VEOutputDriver>* drivers) {
  drivers->push_back(VEOutputDriver{"No sound", "nosound", driverId("nosound")});
  return true;
}

VEResult VEOutputNoSound::open(const VEOutputDriver&, int sampleRate, VEMixSource* source) {
  if (!realTime_) return VE_OK;
  bool started = puller_.start(source, sampleRate, [](const int16_t*, size_t) {});
  return started ? VE_OK : VE_ERR_OUTPUT_INIT;
}
