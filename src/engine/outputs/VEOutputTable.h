// The one table of the engine's output types: each type's stable name, its
// place in the automatic output's order, whether its devices are listed for
// the user, and how to make it. Adding an output means adding its enum value
// in VETypes.h and one row here.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "VETypes.h"

class VEOutput;

struct VEOutputEntry {
  VEOutputType type;
  // Stable: shown to the user and written to the log.
  const char* name;
  // Place in the order the automatic output tries, from 1; 0 = never tried.
  int automaticRank;
  // The audio interface lists this type's devices for the user to choose.
  bool listsDevices;
  // Makes the output; wavPath is used by the WAV writers only. Null for the
  // automatic type, which is no output of its own.
  std::unique_ptr<VEOutput> (*make)(const std::string& wavPath);
};

// In the order of the enum.
extern const VEOutputEntry kOutputs[];
extern const size_t kOutputCount;

// The row of type, or null for a number that is no output type.
const VEOutputEntry* veFindOutput(int type);

// A stable name for an output type ("PulseAudio", "ALSA", ...); "Unknown" for others.
const char* veOutputTypeName(int type);

// The types the automatic output tries, in order of automaticRank.
const std::vector<VEOutputType>& veAutomaticOutputOrder();
