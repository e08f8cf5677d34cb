#include "VEChannel.h"

VEChannel::VEChannel(VESystem* system, int index) : system_(system), index_(index) {}

VEResult VEChannel::getIndex(int* index) {
  if (!index) return VE_ERR_INVALID_PARAM;
  *index = index_;
  return VE_OK;
}
VEResult VEChannel::setPaused(bool) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::getPaused(bool*) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::isPlaying(bool*) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::getPosition(unsigned int*, VETimeUnit) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::setPosition(unsigned int, VETimeUnit) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::setUserData(void*) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::getUserData(void**) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::setCallback(VEChannelCallback) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::setMute(bool) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::getMute(bool*) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::setVolume(float) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::getVolume(float*) { return VE_ERR_INVALID_HANDLE; }
VEResult VEChannel::stop() { return VE_ERR_INVALID_HANDLE; }
