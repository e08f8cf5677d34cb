#include "VESampleRateConverter.h"

#include <soxr.h>

#include <algorithm>

namespace {
unsigned long recipe(VEResampler quality) {
  switch (quality) {
    case VE_RESAMPLER_NOINTERP: return SOXR_QQ;
    case VE_RESAMPLER_LINEAR: return SOXR_LQ;
    case VE_RESAMPLER_CUBIC: return SOXR_MQ;
    case VE_RESAMPLER_SPLINE: return SOXR_HQ;
  }
  return SOXR_LQ;
}
}  // namespace

VESampleRateConverter::VESampleRateConverter(VEResampler quality, int fromRate, int toRate) : toRate_(toRate) {
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  io.flags |= SOXR_NO_DITHER;
  soxr_quality_spec_t q = soxr_quality_spec(recipe(quality), 0);
  // sox's default `rate` keeps 95% of the band flat: no less at high quality.
  if (quality == VE_RESAMPLER_SPLINE) q.passband_end = std::max(q.passband_end, 0.95);
  // One thread: the stream's own thread does the work.
  soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  state_ = soxr_create(double(fromRate), double(toRate), 2, &error, &io, &q, &runtime);
  if (error) state_ = nullptr;
}

VESampleRateConverter::~VESampleRateConverter() {
  if (state_) soxr_delete(state_);
}

void VESampleRateConverter::reset() {
  if (state_) soxr_clear(state_);
}

long VESampleRateConverter::process(const int16_t* in, size_t inFrames, size_t* used, int16_t* out, size_t outFrames) {
  size_t taken = 0;
  size_t written = 0;
  soxr_error_t error = soxr_process(state_, in, in ? inFrames : 0, &taken, out, outFrames, &written);
  *used = in ? taken : 0;
  return error ? -1 : static_cast<long>(written);
}
