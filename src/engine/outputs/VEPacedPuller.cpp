#include "VEPacedPuller.h"

#include <time.h>

#include "VEOutput.h"

bool VEPacedPuller::start(VEMixSource* source, int sampleRate, Sink sink) {
  stop_ = false;
  try {
    thread_ = std::thread([this, source, sampleRate, sink] { run(source, sampleRate, sink); });
  } catch (...) {
    return false;
  }
  return true;
}

void VEPacedPuller::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void VEPacedPuller::run(VEMixSource* source, int sampleRate, Sink sink) {
  const size_t chunk = static_cast<size_t>(sampleRate) / 100;  // 10 ms
  std::vector<int16_t> frames(chunk * 2);
  timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  while (!stop_) {
    source->render(frames.data(), chunk);
    sink(frames.data(), chunk);
    next.tv_nsec += 10 * 1000 * 1000;
    if (next.tv_nsec >= 1000 * 1000 * 1000) {
      next.tv_nsec -= 1000 * 1000 * 1000;
      next.tv_sec += 1;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
}
