// The WAV writer: 16-bit stereo PCM into a file, its header completed when
// the output closes. In real time a pacing thread pulls at the device rate;
// otherwise the system mixes inside update and hands the frames to write().
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "VEOutput.h"
#include "VEPacedPuller.h"

class VEOutputWav : public VEOutput {
 public:
  // path: the file to write; empty means the path in VE_WAVWRITER_PATH_VARIABLE.
  VEOutputWav(std::string path, bool realTime);
  ~VEOutputWav() override { close(); }

  bool listDrivers(std::vector<VEOutputDriver>* drivers) override;
  VEResult open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) override;
  void write(const int16_t* frames, size_t frameCount) override;
  void close() override;
  bool isRealTime() const override { return realTime_; }

 private:
  std::string path() const;
  void writeHeader(uint32_t dataBytes);

  std::string path_;
  bool realTime_;
  VEPacedPuller puller_;
  std::mutex mutex_;  // guards file_ and dataBytes_ against the pacing thread
  FILE* file_ = nullptr;
  int sampleRate_ = 44100;
  uint64_t dataBytes_ = 0;
};
