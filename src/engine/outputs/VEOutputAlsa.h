// ALSA: the PCM output devices that open are the drivers: "default" first,
// then the sound cards' devices and the sound-server bridges. Listing,
// opening (setting the parameters included) and closing wait for a device at
// most half a second: the bridges would wait 30 s for a sound server that
// takes connections but does not answer, or that answered the connection and
// then stopped answering; a device whose open was given up on is not opened
// again until that open ended. A writer thread pulls a period at a time and writes it without
// blocking, waiting for room in short slices, so that close never waits on a
// device that takes no data (a stream the sound server holds back); a writer
// held inside the device longer than half a second ends on its own. An error
// that snd_pcm_recover cannot mend (the device is gone) ends the thread and
// marks the output lost.
#pragma once

#include <memory>

#include "VEOutput.h"

class VEOutputAlsa : public VEOutput {
 public:
  VEOutputAlsa() = default;
  ~VEOutputAlsa() override { close(); }

  bool listDrivers(std::vector<VEOutputDriver>* drivers) override;
  VEResult open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) override;
  void close() override;
  bool isRealTime() const override { return true; }
  bool lost() const override;

 private:
  struct Writer;
  static void run(std::shared_ptr<Writer> writer);

  // Shared with the writer thread, which a close waits for only a moment: a
  // writer held in the device (a sound server that stopped answering) ends
  // on its own and closes the PCM then.
  std::shared_ptr<Writer> writer_;
};
