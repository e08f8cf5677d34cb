// Converts interleaved stereo 16-bit frames from a source rate to the mix
// rate through libsamplerate. Used on the stream's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "VETypes.h"

typedef struct SRC_STATE_tag SRC_STATE;

class VESampleRateConverter {
 public:
  VESampleRateConverter(VEResampler quality, int fromRate, int toRate);
  ~VESampleRateConverter();
  VESampleRateConverter(const VESampleRateConverter&) = delete;
  VESampleRateConverter& operator=(const VESampleRateConverter&) = delete;

  // False when libsamplerate could not be set up.
  bool valid() const { return state_ != nullptr; }
  // Converts frameCount frames and appends the output to out. With end set,
  // also drains what the filter still holds (the end of the stream).
  bool process(const int16_t* frames, size_t frameCount, bool end, std::vector<int16_t>* out);
  // Forgets the filter's history (after a seek).
  void reset();

 private:
  SRC_STATE* state_ = nullptr;
  double ratio_;
  std::vector<float> in_;
  std::vector<float> out_;
};
