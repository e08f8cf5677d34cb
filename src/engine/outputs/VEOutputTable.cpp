#include "VEOutputTable.h"

#include <algorithm>

#include "VEOutputAlsa.h"
#include "VEOutputNoSound.h"
#include "VEOutputPulse.h"
#include "VEOutputWav.h"

namespace {
std::unique_ptr<VEOutput> makePulse(const std::string&) {
  return std::make_unique<VEOutputPulse>();
}
std::unique_ptr<VEOutput> makeAlsa(const std::string&) {
  return std::make_unique<VEOutputAlsa>();
}
std::unique_ptr<VEOutput> makeNoSound(const std::string&) {
  return std::make_unique<VEOutputNoSound>(true);
}
std::unique_ptr<VEOutput> makeNoSoundNrt(const std::string&) {
  return std::make_unique<VEOutputNoSound>(false);
}
std::unique_ptr<VEOutput> makeWav(const std::string& wavPath) {
  return std::make_unique<VEOutputWav>(wavPath, true);
}
std::unique_ptr<VEOutput> makeWavNrt(const std::string& wavPath) {
  return std::make_unique<VEOutputWav>(wavPath, false);
}
}  // namespace

const VEOutputEntry kOutputs[] = {
    {VE_OUTPUTTYPE_AUTODETECT, "Default", 0, true, nullptr},
    {VE_OUTPUTTYPE_PULSEAUDIO, "PulseAudio", 1, true, makePulse},
    {VE_OUTPUTTYPE_ALSA, "ALSA", 2, true, makeAlsa},
    {VE_OUTPUTTYPE_NOSOUND, "No sound", 3, false, makeNoSound},
    {VE_OUTPUTTYPE_WAVWRITER, "WAV writer", 0, false, makeWav},
    {VE_OUTPUTTYPE_NOSOUND_NRT, "No sound (non-real-time)", 0, false, makeNoSoundNrt},
    {VE_OUTPUTTYPE_WAVWRITER_NRT, "WAV writer (non-real-time)", 0, false, makeWavNrt},
};
const size_t kOutputCount = sizeof(kOutputs) / sizeof(kOutputs[0]);

const VEOutputEntry* veFindOutput(int type) {
  for (size_t i = 0; i < kOutputCount; ++i) {
    if (kOutputs[i].type == type) return &kOutputs[i];
  }
  return nullptr;
}

const char* veOutputTypeName(int type) {
  const VEOutputEntry* entry = veFindOutput(type);
  return entry ? entry->name : "Unknown";
}

const std::vector<VEOutputType>& veAutomaticOutputOrder() {
  // Never destroyed: a look for a device runs on a thread of its own that may
  // still read the order while the process ends.
  static const std::vector<VEOutputType>* order = new std::vector<VEOutputType>([] {
    std::vector<const VEOutputEntry*> ranked;
    for (size_t i = 0; i < kOutputCount; ++i) {
      if (kOutputs[i].automaticRank > 0) ranked.push_back(&kOutputs[i]);
    }
    std::sort(ranked.begin(), ranked.end(),
              [](const VEOutputEntry* a, const VEOutputEntry* b) { return a->automaticRank < b->automaticRank; });
    std::vector<VEOutputType> types;
    for (const VEOutputEntry* entry : ranked) types.push_back(entry->type);
    return types;
  }());
  return *order;
}
