// No sound: mixes and drops the result. In real time a pacing thread pulls
// at the device rate; otherwise the system mixes inside update only.
#pragma once

#include "VEOutput.h"
#include "VEPacedPuller.h"

class VEOutputNoSound : public VEOutput {
 public:
  explicit VEOutputNoSound(bool realTime) : realTime_(realTime) {}
  ~VEOutputNoSound() override { close(); }

  bool listDrivers(std::vector<VEOutputDriver>* drivers) override;
  VEResult open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) override;
  void close() override { puller_.stop(); }
  bool isRealTime() const override { return realTime_; }
  bool followsRate() const override { return true; }

 private:
  bool realTime_;
  VEPacedPuller puller_;
};
