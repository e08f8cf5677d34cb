// Converts interleaved stereo 16-bit frames from a source rate to the mix
// rate through libsoxr, rounding without dither so that a conversion always
// gives the same samples. Its output starts on the input's first frame (the
// filter's delay is taken out) and the drained total is the input's length
// at the new rate, so a converted track joins the next one without a gap.
// Used on the stream's thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "VETypes.h"

struct soxr;

class VESampleRateConverter {
 public:
  VESampleRateConverter(VEResampler quality, int fromRate, int toRate);
  ~VESampleRateConverter();
  VESampleRateConverter(const VESampleRateConverter&) = delete;
  VESampleRateConverter& operator=(const VESampleRateConverter&) = delete;

  // False when libsoxr could not be set up.
  bool valid() const { return state_ != nullptr; }
  int toRate() const { return toRate_; }
  // Converts up to inFrames frames of in into at most outFrames frames at
  // out; *used tells how many input frames were taken. A null in drains what
  // the filter still holds (the end of the stream): 0 frames out then means
  // it is empty. Answers the frames written, or -1 on failure.
  long process(const int16_t* in, size_t inFrames, size_t* used, int16_t* out, size_t outFrames);
  // Forgets the filter's history (after a seek).
  void reset();

 private:
  soxr* state_ = nullptr;
  int toRate_;
};
