// PulseAudio (and PipeWire's PulseAudio server): the sinks are the drivers,
// the server's default sink first. Playback runs in a threaded main loop whose
// write callback pulls mixed frames. Never spawns a server. A stream or
// context that fails once playing (the server stopped or restarted, the sink
// went away without a fallback) marks the output lost.
#pragma once

#include <atomic>
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
  bool followsRate() const override { return true; }
  bool lost() const override { return lost_; }

 private:
  static void writeCallback(pa_stream* stream, size_t bytes, void* self);
  static void contextStateCallback(pa_context* context, void* self);
  static void streamStateCallback(pa_stream* stream, void* self);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  VEMixSource* source_ = nullptr;
  std::atomic<bool> lost_{false};
};
