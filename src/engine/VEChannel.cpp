#include "VEChannel.h"

#include "VEMixer.h"
#include "VESound.h"
#include "VEStream.h"
#include "VESystem.h"

VEChannel::VEChannel(VESystem* system, int index) : system_(system), index_(index) {}

namespace {
// Runs call on the mixer when the system has one; a closed system has no
// sound attached anywhere.
template <typename F>
VEResult onMixer(VESystem* system, VEMixer* mixer, F call) {
  if (!mixer) return VE_ERR_INVALID_HANDLE;
  return call(mixer);
}
}  // namespace

VEResult VEChannel::getIndex(int* index) {
  if (!index) return VE_ERR_INVALID_PARAM;
  *index = index_;
  return VE_OK;
}

VEResult VEChannel::setPaused(bool paused) {
  return onMixer(system_, system_->mixer_.get(), [&](VEMixer* m) { return m->setPaused(index_, paused); });
}

VEResult VEChannel::getPaused(bool* paused) {
  if (!paused) return VE_ERR_INVALID_PARAM;
  return onMixer(system_, system_->mixer_.get(), [&](VEMixer* m) { return m->getPaused(index_, paused); });
}

VEResult VEChannel::isPlaying(bool* playing) {
  if (!playing) return VE_ERR_INVALID_PARAM;
  *playing = false;
  VEMixer* mixer = system_->mixer_.get();
  if (!mixer || !mixer->attached(index_)) return VE_ERR_INVALID_HANDLE;
  *playing = true;
  return VE_OK;
}

VEResult VEChannel::getPosition(unsigned int* position, VETimeUnit unit) {
  if (!position) return VE_ERR_INVALID_PARAM;
  VEMixer* mixer = system_->mixer_.get();
  std::shared_ptr<VEStream> stream = mixer ? mixer->streamAt(index_) : nullptr;
  if (!stream) return VE_ERR_INVALID_HANDLE;
  return stream->position(position, unit);
}

VEResult VEChannel::setPosition(unsigned int position, VETimeUnit unit) {
  VEMixer* mixer = system_->mixer_.get();
  std::shared_ptr<VEStream> stream = mixer ? mixer->streamAt(index_) : nullptr;
  if (!stream) return VE_ERR_INVALID_HANDLE;
  VEResult result = stream->setPosition(position, unit);
  if (result == VE_OK) mixer->seeking(index_);
  return result;
}

VEResult VEChannel::startAfter(VEChannel* previous) {
  if (!previous || previous->system_ != system_) return VE_ERR_INVALID_PARAM;
  return onMixer(system_, system_->mixer_.get(), [&](VEMixer* m) { return m->startAfter(index_, previous->index_); });
}

VEResult VEChannel::setUserData(void* userData) {
  return onMixer(system_, system_->mixer_.get(), [&](VEMixer* m) { return m->setUserData(index_, userData); });
}

VEResult VEChannel::getUserData(void** userData) {
  if (!userData) return VE_ERR_INVALID_PARAM;
  return onMixer(system_, system_->mixer_.get(), [&](VEMixer* m) { return m->getUserData(index_, userData); });
}

VEResult VEChannel::setCallback(VEChannelCallback callback) {
  return onMixer(system_, system_->mixer_.get(), [&](VEMixer* m) { return m->setCallback(index_, callback); });
}

VEResult VEChannel::setMute(bool mute) {
  return onMixer(system_, system_->mixer_.get(), [&](VEMixer* m) { return m->setMute(index_, mute); });
}

VEResult VEChannel::getMute(bool* mute) {
  if (!mute) return VE_ERR_INVALID_PARAM;
  return onMixer(system_, system_->mixer_.get(), [&](VEMixer* m) { return m->getMute(index_, mute); });
}

VEResult VEChannel::setVolume(float volume) {
  return onMixer(system_, system_->mixer_.get(), [&](VEMixer* m) { return m->setVolume(index_, volume); });
}

VEResult VEChannel::getVolume(float* volume) {
  if (!volume) return VE_ERR_INVALID_PARAM;
  return onMixer(system_, system_->mixer_.get(), [&](VEMixer* m) { return m->getVolume(index_, volume); });
}

VEResult VEChannel::stop() {
  VEMixer* mixer = system_->mixer_.get();
  if (!mixer) return VE_ERR_INVALID_HANDLE;
  VESound* sound = mixer->detach(index_);
  if (!sound) return VE_ERR_INVALID_HANDLE;
  sound->channelIndex_ = -1;
  return VE_OK;
}
