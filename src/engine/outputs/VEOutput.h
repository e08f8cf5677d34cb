// The output driver interface: one implementation per file in this folder.
//
// A real-time output owns a thread (or a PulseAudio main loop) that pulls
// mixed frames from a VEMixSource at the device's pace. A non-real-time
// output has no thread: the system mixes inside update and hands the frames
// to write().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VETypes.h"

// One device an output can open.
struct VEOutputDriver {
  std::string name;     // shown to the user
  std::string device;   // what the backend opens (sink name, PCM name, file path)
  unsigned int id = 0;  // stable hash of device, never 0
};

// Where a real-time output pulls its frames from (the mixer).
class VEMixSource {
 public:
  virtual ~VEMixSource() = default;
  // Fills frames (interleaved stereo, signed 16-bit) completely; called on
  // the output's thread only.
  virtual void render(int16_t* frames, size_t frameCount) = 0;
};

class VEOutput {
 public:
  virtual ~VEOutput() = default;

  // Makes the output of type, or null for an unknown type. wavPath is used by
  // the WAV writers only.
  static std::unique_ptr<VEOutput> create(VEOutputType type, const std::string& wavPath);
  // The stable id of a device name: a hash that is never 0.
  static unsigned int driverId(const std::string& device);

  // Appends the devices it can open, the default first. False when the
  // backend cannot be reached at all (no server, no sound card library).
  virtual bool listDrivers(std::vector<VEOutputDriver>* drivers) = 0;

  // Opens driver for sampleRate, stereo, signed 16-bit. A real-time output
  // starts pulling from source before it returns. VE_ERR_OUTPUT_INIT when the
  // device cannot be opened.
  virtual VEResult open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) = 0;

  // Non-real-time outputs: takes frames mixed by update. Others ignore it.
  virtual void write(const int16_t* frames, size_t frameCount) {
    (void)frames;
    (void)frameCount;
  }

  // Stops pulling and closes the device; source is not called after it
  // returns. Safe to call when not open.
  virtual void close() = 0;

  // True for outputs that pull on their own thread.
  virtual bool isRealTime() const = 0;

  // True when the output may be closed and opened again at another rate
  // without anything audible but the change (a sound server converts for the
  // device); false when the rate is fixed once opened (a file's header).
  virtual bool followsRate() const { return false; }

  // True once the device of an open real-time output went away for good (a
  // sound card unplugged, the sound server stopped or restarted): the output
  // pulls no more and only close() is left to do. Any thread.
  virtual bool lost() const { return false; }
};
