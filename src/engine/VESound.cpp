#include "VESound.h"

#include "VESystem.h"

VESound::VESound(VESystem* system, std::shared_ptr<VEStream> stream)
    : system_(system), stream_(std::move(stream)) {}

VESound::~VESound() = default;

VEResult VESound::getOpenState(VEOpenState* state, unsigned int* percentBuffered, bool* starving,
                               bool* diskBusy) {
  if (state) *state = VE_OPENSTATE_LOADING;
  if (percentBuffered) *percentBuffered = 0;
  if (starving) *starving = false;
  if (diskBusy) *diskBusy = false;
  return VE_OK;
}

VEResult VESound::getLength(unsigned int* length, VETimeUnit unit) { return VE_ERR_NOTREADY; }

VEResult VESound::release() {
  delete this;
  return VE_OK;
}

VEResult VESound::getSystemObject(VESystem** system) {
  if (!system) return VE_ERR_INVALID_PARAM;
  *system = system_;
  return VE_OK;
}
