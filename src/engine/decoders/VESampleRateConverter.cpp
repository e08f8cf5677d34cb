#include "VESampleRateConverter.h"

#include <samplerate.h>

namespace {
int converterType(VEResampler quality) {
  switch (quality) {
    case VE_RESAMPLER_NOINTERP: return SRC_ZERO_ORDER_HOLD;
    case VE_RESAMPLER_LINEAR: return SRC_LINEAR;
    case VE_RESAMPLER_CUBIC: return SRC_SINC_FASTEST;
    case VE_RESAMPLER_SPLINE: return SRC_SINC_MEDIUM_QUALITY;
  }
  return SRC_LINEAR;
}
}  // namespace

VESampleRateConverter::VESampleRateConverter(VEResampler quality, int fromRate, int toRate)
    : ratio_(double(toRate) / double(fromRate)) {
  int error = 0;
  state_ = src_new(converterType(quality), 2, &error);
}

VESampleRateConverter::~VESampleRateConverter() {
  if (state_) src_delete(state_);
}

void VESampleRateConverter::reset() {
  if (state_) src_reset(state_);
}

bool VESampleRateConverter::process(const int16_t* frames, size_t frameCount, bool end,
                                    std::vector<int16_t>* out) {
  if (!state_) return false;
  in_.resize(frameCount * 2);
  if (frameCount) src_short_to_float_array(frames, in_.data(), static_cast<int>(frameCount * 2));
  size_t outCapacity = static_cast<size_t>(double(frameCount) * ratio_) + 256;
  out_.resize(outCapacity * 2);

  SRC_DATA data{};
  data.data_in = in_.data();
  data.input_frames = static_cast<long>(frameCount);
  data.src_ratio = ratio_;
  data.end_of_input = end ? 1 : 0;
  for (;;) {
    data.data_out = out_.data();
    data.output_frames = static_cast<long>(outCapacity);
    if (src_process(state_, &data) != 0) return false;
    if (data.output_frames_gen > 0) {
      size_t base = out->size();
      size_t samples = static_cast<size_t>(data.output_frames_gen) * 2;
      out->resize(base + samples);
      src_float_to_short_array(out_.data(), out->data() + base, static_cast<int>(samples));
    }
    data.data_in += data.input_frames_used * 2;
    data.input_frames -= data.input_frames_used;
    // Done when all input is taken and, at the end, the filter is drained.
    if (data.input_frames == 0 && (!end || data.output_frames_gen == 0)) break;
  }
  return true;
}
