// ALSA: the PCM output devices that open are the drivers: "default" first,
// then the sound cards' devices and the sound-server bridges. Listing and
// opening wait for a device at most half a second: the bridges would wait
// 30 s for a sound server that takes connections but does not answer. A writer
// thread pulls a period at a time and writes it without blocking, waiting for
// room in short slices, so that close never waits on a device that takes no
// data (a stream the sound server holds back). An error that
// snd_pcm_recover cannot mend (the device is gone) ends the thread and marks
// the output lost.
#pragma once

#include <atomic>
#include <thread>

#include "VEOutput.h"

typedef struct _snd_pcm snd_pcm_t;

class VEOutputAlsa : public VEOutput {
 public:
  VEOutputAlsa() = default;
  ~VEOutputAlsa() override { close(); }

  bool listDrivers(std::vector<VEOutputDriver>* drivers) override;
  VEResult open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) override;
  void close() override;
  bool isRealTime() const override { return true; }
  bool lost() const override { return lost_; }

 private:
  void run(VEMixSource* source, size_t periodFrames);

  snd_pcm_t* pcm_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> lost_{false};
};
