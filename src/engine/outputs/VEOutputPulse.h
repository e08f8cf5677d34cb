// PulseAudio (and PipeWire's PulseAudio server): the sinks are the drivers,
// the server's default sink first. Every listing and output of the process
// shares one connection to the server, kept while it lasts, whose threaded
// main loop runs the write callbacks that pull mixed frames. Listing and
// opening wait for the server at most half a second; a connection the server
// has not answered by then goes on in the background for the next look.
// Never spawns a server. A stream that fails once playing (the server stopped
// or restarted, the sink went away without a fallback) marks the output lost.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "VEOutput.h"

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
  class Connection;

  static void writeCallback(pa_stream* stream, size_t bytes, void* self);
  static void streamStateCallback(pa_stream* stream, void* self);
  static void endStream(pa_stream* stream);
  static void endOnceAnswered(pa_stream* stream, void* unused);

  // While open: the shared connection and this output's stream on it.
  std::shared_ptr<Connection> connection_;
  pa_stream* stream_ = nullptr;
  VEMixSource* source_ = nullptr;
  std::atomic<bool> lost_{false};
};
