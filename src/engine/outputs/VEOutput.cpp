#include "VEOutput.h"

#include "VEOutputAlsa.h"
#include "VEOutputNoSound.h"
#include "VEOutputPulse.h"
#include "VEOutputWav.h"

std::unique_ptr<VEOutput> VEOutput::create(VEOutputType type, const std::string& wavPath) {
  switch (type) {
    case VE_OUTPUTTYPE_PULSEAUDIO: return std::make_unique<VEOutputPulse>();
    case VE_OUTPUTTYPE_ALSA: return std::make_unique<VEOutputAlsa>();
    case VE_OUTPUTTYPE_NOSOUND: return std::make_unique<VEOutputNoSound>(true);
    case VE_OUTPUTTYPE_NOSOUND_NRT: return std::make_unique<VEOutputNoSound>(false);
    case VE_OUTPUTTYPE_WAVWRITER: return std::make_unique<VEOutputWav>(wavPath, true);
    case VE_OUTPUTTYPE_WAVWRITER_NRT: return std::make_unique<VEOutputWav>(wavPath, false);
    default: return nullptr;
  }
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
