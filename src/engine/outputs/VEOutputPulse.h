// PulseAudio (and PipeWire's PulseAudio server): the sinks are the drivers,
// the server's default sink first. Playback runs in a threaded main loop whose
// write callback pulls mixed frames. Never spawns a server.
#pragma once

#include <vector>

#include "VEOutput.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

class VEOutputPulse : public VEOutput {
 public:
  VEOutputPulse() = default;
  ~VEOutputPulse() override { close(); }

  bool listDrivers(std::vector<VEOutputDriver>* drivers) override;
  VEResult open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) override;
  void close() override;
  bool isRealTime() const override { return true; }

 private:
  static void writeCallback(pa_stream* stream, size_t bytes, void* self);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  VEMixSource* source_ = nullptr;
};
