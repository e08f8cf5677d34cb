#include "VESystem.h"

#include <cmath>
#include <cstring>

#include "VEChannel.h"
#include "VEOutput.h"
#include "VEMixer.h"
#include "VESound.h"

namespace {
constexpr unsigned int kMaxStreamBufferSize = 16u << 20;
constexpr int kMaxChannels = 4093;
}  // namespace

VEResult VESystem::create(VESystem** system) {
  if (!system) return VE_ERR_INVALID_PARAM;
  *system = new VESystem();
  return VE_OK;
}

VESystem::VESystem() = default;

VESystem::~VESystem() { delete drivers_; }

VEResult VESystem::release() {
  close();
  delete this;
  return VE_OK;
}

VEResult VESystem::setSoftwareFormat(int sampleRate, VESoundFormat format, int outputChannels,
                                     int maxInputChannels, VEResampler resampler) {
  if (initialised_) return VE_ERR_INITIALIZED;
  if (format != VE_SOUND_FORMAT_PCM16 || outputChannels != 2) return VE_ERR_UNSUPPORTED;
  if (sampleRate < 8000 || sampleRate > 192000) return VE_ERR_INVALID_PARAM;
  if (maxInputChannels < 1 || maxInputChannels > 2) return VE_ERR_INVALID_PARAM;
  if (resampler < VE_RESAMPLER_NOINTERP || resampler > VE_RESAMPLER_SPLINE) return VE_ERR_INVALID_PARAM;
  sampleRate_ = sampleRate;
  maxInputChannels_ = maxInputChannels;
  resampler_ = resampler;
  return VE_OK;
}

VEResult VESystem::setOutput(VEOutputType type) {
  if (initialised_) return VE_ERR_INITIALIZED;
  if (type < VE_OUTPUTTYPE_AUTODETECT || type > VE_OUTPUTTYPE_WAVWRITER_NRT) return VE_ERR_INVALID_PARAM;
  outputType_ = type;
  activeType_ = type;
  driver_ = 0;
  driversKnown_ = false;
  return VE_OK;
}

VEResult VESystem::getOutput(VEOutputType* type) {
  if (!type) return VE_ERR_INVALID_PARAM;
  *type = activeType_;
  return VE_OK;
}

VEResult VESystem::getNumDrivers(int* count) {
  if (!count) return VE_ERR_INVALID_PARAM;
  *count = 0;
  return VE_ERR_UNSUPPORTED;
}

VEResult VESystem::getDriverInfo(int index, char* name, int nameLength, VEGuid* guid) {
  return VE_ERR_OUTPUT_DRIVER;
}

VEResult VESystem::setDriver(int index) {
  if (initialised_) return VE_ERR_INITIALIZED;
  return index == 0 ? VE_OK : VE_ERR_OUTPUT_DRIVER;
}

VEResult VESystem::getDriver(int* index) {
  if (!index) return VE_ERR_INVALID_PARAM;
  *index = driver_;
  return VE_OK;
}

VEResult VESystem::init(int maxChannels, unsigned int flags, void* extraDriverData) {
  if (initialised_) return VE_ERR_INITIALIZED;
  if (maxChannels < 1 || maxChannels > kMaxChannels) return VE_ERR_INVALID_PARAM;
  return VE_ERR_OUTPUT_INIT;
}

VEResult VESystem::close() {
  initialised_ = false;
  return VE_OK;
}

VEResult VESystem::update() { return initialised_ ? VE_OK : VE_ERR_UNINITIALIZED; }

VEResult VESystem::getNetworkProxy(char* proxy, int proxyLength) {
  if (!proxy || proxyLength < 1) return VE_ERR_INVALID_PARAM;
  proxy[0] = '\0';
  return VE_OK;
}

VEResult VESystem::setStreamBufferSize(unsigned int size, VETimeUnit unit) {
  if (unit != VE_TIMEUNIT_RAWBYTES) return VE_ERR_UNSUPPORTED;
  if (size == 0 || size > kMaxStreamBufferSize) return VE_ERR_INVALID_PARAM;
  streamBufferSize_ = size;
  return VE_OK;
}

VEResult VESystem::getStreamBufferSize(unsigned int* size, VETimeUnit* unit) {
  if (size) *size = streamBufferSize_;
  if (unit) *unit = VE_TIMEUNIT_RAWBYTES;
  return VE_OK;
}

VEResult VESystem::setDecodeBufferLength(unsigned int milliseconds) {
  if (milliseconds < 20 || milliseconds > 10000) return VE_ERR_INVALID_PARAM;
  decodeBufferMs_ = milliseconds;
  return VE_OK;
}

VEResult VESystem::setFileSystem(VEFileOpenCallback open, VEFileCloseCallback close,
                                 VEFileAsyncReadCallback asyncRead, int blockAlign) {
  if (!open || !close || !asyncRead) return VE_ERR_INVALID_PARAM;
  if (blockAlign < 0 || blockAlign > static_cast<int>(kMaxStreamBufferSize)) return VE_ERR_INVALID_PARAM;
  openCallback_ = open;
  closeCallback_ = close;
  readCallback_ = asyncRead;
  blockAlign_ = blockAlign == 0 ? 1 : static_cast<unsigned int>(blockAlign);
  return VE_OK;
}

VEResult VESystem::createStream(const char* name, unsigned int mode, VESound** sound) {
  if (!name || !sound) return VE_ERR_INVALID_PARAM;
  if (!initialised_) return VE_ERR_UNINITIALIZED;
  if (!openCallback_) return VE_ERR_FILE_SYSTEM;
  return VE_ERR_UNSUPPORTED;
}

VEResult VESystem::getChannel(int index, VEChannel** channel) {
  if (!channel) return VE_ERR_INVALID_PARAM;
  if (!initialised_) return VE_ERR_UNINITIALIZED;
  if (index < 0 || index >= static_cast<int>(channels_.size())) return VE_ERR_INVALID_PARAM;
  *channel = channels_[index].get();
  return VE_OK;
}

VEResult VESystem::playSound(int channelIndex, VESound* sound, bool paused, VEChannel** channel) {
  if (!initialised_) return VE_ERR_UNINITIALIZED;
  return VE_ERR_UNSUPPORTED;
}
