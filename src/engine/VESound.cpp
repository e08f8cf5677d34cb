#include "VESound.h"

#include "VEStream.h"
#include "VESystem.h"

VESound::VESound(VESystem* system, std::shared_ptr<VEStream> stream) : system_(system), stream_(std::move(stream)) {}

VESound::~VESound() = default;

VEResult VESound::getOpenState(VEOpenState* state, unsigned int* percentBuffered, bool* starving, bool* diskBusy) {
  return stream_->openState(state, percentBuffered, starving, diskBusy);
}

VEResult VESound::getLength(unsigned int* length, VETimeUnit unit) {
  return stream_->length(length, unit);
}

VEResult VESound::release() {
  system_->releaseSound(this);
  return VE_OK;
}

VEResult VESound::getSystemObject(VESystem** system) {
  if (!system) return VE_ERR_INVALID_PARAM;
  *system = system_;
  return VE_OK;
}
