// A thread that pulls mixed frames in real time, 10 ms at a time, on an
// absolute monotonic schedule, and hands them to a sink. It serves the
// outputs that have no device to pace them (no sound, the WAV writer).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

class VEMixSource;

class VEPacedPuller {
 public:
  using Sink = std::function<void(const int16_t* frames, size_t frameCount)>;

  VEPacedPuller() = default;
  ~VEPacedPuller() { stop(); }

  // Starts pulling from source at sampleRate; false when no thread could start.
  bool start(VEMixSource* source, int sampleRate, Sink sink);
  // Stops and joins the thread; the source and sink are not called afterwards.
  void stop();

 private:
  void run(VEMixSource* source, int sampleRate, Sink sink);

  std::thread thread_;
  std::atomic<bool> stop_{false};
};
