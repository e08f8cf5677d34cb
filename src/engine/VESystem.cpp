#include "VESystem.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <system_error>
#include <utility>

#include "VEChannel.h"
#include "VEFileReader.h"
#include "VEMixer.h"
#include "VEOutputTable.h"
#include "VESound.h"
#include "VEStream.h"

namespace {
constexpr int kMaxChannels = 4093;
// Frames a non-real-time update mixes at most: about one worker pass.
constexpr size_t kUpdateFrames = 1024;
}  // namespace

VEResult VESystem::create(VESystem** system) {
  if (!system) return VE_ERR_INVALID_PARAM;
  *system = new VESystem();
  return VE_OK;
}

VESystem::VESystem() = default;

VESystem::~VESystem() {
  close();
}

VEResult VESystem::release() {
  delete this;
  return VE_OK;
}

// ---------------------------------------------------------------- set-up

VEResult VESystem::setSoftwareFormat(int sampleRate, VESoundFormat format, int outputChannels, int maxInputChannels,
                                     VEResampler resampler) {
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
  if (!veFindOutput(type)) return VE_ERR_INVALID_PARAM;
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

namespace {
std::vector<VEOutputDriver> listDriversOf(VEOutputType type) {
  std::vector<VEOutputDriver> found;
  std::unique_ptr<VEOutput> output = VEOutput::create(type, "");
  if (!output || !output->listDrivers(&found)) found.clear();
  return found;
}
}  // namespace

const std::vector<VEOutputDriver>& VESystem::listedDrivers(VEOutputType type) {
  auto listed = listedDrivers_.find(type);
  if (listed != listedDrivers_.end()) return listed->second;
  return listedDrivers_[type] = listDriversOf(type);
}

// Each automatic type not listed yet is listed on a thread of its own, all at
// once: listings that wait for sound servers that do not answer then take as
// long as the slowest of them, not as long as all of them together.
void VESystem::listAutomaticTypes() {
  std::vector<std::pair<VEOutputType, std::future<std::vector<VEOutputDriver>>>> listings;
  for (VEOutputType type : veAutomaticOutputOrder()) {
    if (listedDrivers_.count(type)) continue;
    try {
      listings.emplace_back(type, std::async(std::launch::async, listDriversOf, type));
    } catch (const std::system_error&) {
      listedDrivers(type);
    }
  }
  for (auto& listing : listings) listedDrivers_[listing.first] = listing.second.get();
}

const std::vector<VEOutputDriver>& VESystem::drivers() {
  driversKnown_ = true;
  driversType_ = outputType_;
  if (outputType_ != VE_OUTPUTTYPE_AUTODETECT) return listedDrivers(outputType_);
  listAutomaticTypes();
  for (VEOutputType type : veAutomaticOutputOrder()) {
    if (listedDrivers(type).empty()) continue;
    driversType_ = type;
    return listedDrivers(type);
  }
  return listedDrivers(VE_OUTPUTTYPE_AUTODETECT);
}

VEResult VESystem::getNumDrivers(int* count) {
  if (!count) return VE_ERR_INVALID_PARAM;
  *count = static_cast<int>(drivers().size());
  return VE_OK;
}

VEResult VESystem::getDriverInfo(int index, char* name, int nameLength, VEGuid* guid) {
  const std::vector<VEOutputDriver>& listed = drivers();
  if (index < 0 || index >= static_cast<int>(listed.size())) return VE_ERR_OUTPUT_DRIVER;
  const VEOutputDriver& driver = listed[static_cast<size_t>(index)];
  if (name && nameLength > 0) {
    size_t length = std::min(driver.name.size(), static_cast<size_t>(nameLength - 1));
    memcpy(name, driver.name.data(), length);
    name[length] = '\0';
  }
  if (guid) {
    memset(guid, 0, sizeof *guid);
    guid->data1 = driver.id;
  }
  return VE_OK;
}

VEResult VESystem::setDriver(int index) {
  if (initialised_) return VE_ERR_INITIALIZED;
  int count = std::max(1, static_cast<int>(drivers().size()));
  if (index < 0 || index >= count) return VE_ERR_OUTPUT_DRIVER;
  driver_ = index;
  return VE_OK;
}

VEResult VESystem::getDriver(int* index) {
  if (!index) return VE_ERR_INVALID_PARAM;
  *index = driver_;
  return VE_OK;
}

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

VEResult VESystem::setFileSystem(VEFileOpenCallback open, VEFileCloseCallback close, VEFileAsyncReadCallback asyncRead,
                                 int blockAlign, void* userData) {
  if (!open || !close || !asyncRead) return VE_ERR_INVALID_PARAM;
  if (blockAlign < 0 || blockAlign > static_cast<int>(kMaxStreamBufferSize)) return VE_ERR_INVALID_PARAM;
  openCallback_ = open;
  closeCallback_ = close;
  readCallback_ = asyncRead;
  fileUserData_ = userData;
  blockAlign_ = blockAlign == 0 ? 1 : static_cast<unsigned int>(blockAlign);
  return VE_OK;
}

// ---------------------------------------------------------------- life

VEResult VESystem::openOutput(VEOutputType type, int driver, const std::string& wavPath) {
  std::unique_ptr<VEOutput> output = VEOutput::create(type, wavPath);
  if (!output) return VE_ERR_OUTPUT_INIT;
  const std::vector<VEOutputDriver>& drivers = listedDrivers(type);
  if (driver < 0 || driver >= static_cast<int>(drivers.size())) return VE_ERR_OUTPUT_INIT;
  auto mixer = std::make_unique<VEMixer>(sampleRate_, static_cast<int>(channels_.size()));
  // The mixer exists before the output pulls from it.
  VEResult result = output->open(drivers[static_cast<size_t>(driver)], sampleRate_, mixer.get());
  if (result != VE_OK) return VE_ERR_OUTPUT_INIT;
  nonRealTime_ = !output->isRealTime();
  outputDriver_ = drivers[static_cast<size_t>(driver)];
  outputFailed_ = false;
  mixer_ = std::move(mixer);
  output_ = std::move(output);
  activeType_ = type;
  return VE_OK;
}

VEResult VESystem::init(int maxChannels, unsigned int flags, void* extraDriverData) {
  if (initialised_) return VE_ERR_INITIALIZED;
  if (maxChannels < 1 || maxChannels > kMaxChannels) return VE_ERR_INVALID_PARAM;
  std::string wavPath = extraDriverData ? static_cast<const char*>(extraDriverData) : "";
  if (static_cast<int>(channels_.size()) != maxChannels) {
    channels_.clear();
    for (int i = 0; i < maxChannels; ++i) channels_.emplace_back(new VEChannel(this, i));
  }
  VEResult result = VE_ERR_OUTPUT_INIT;
  if (outputType_ == VE_OUTPUTTYPE_AUTODETECT) {
    for (VEOutputType type : veAutomaticOutputOrder()) {
      int driver = driversKnown_ && type == driversType_ ? driver_ : 0;
      result = openOutput(type, driver, wavPath);
      if (result == VE_OK) break;
    }
  } else {
    result = openOutput(outputType_, driver_, wavPath);
  }
  if (result != VE_OK) {
    // The lists no longer hold (the sound server went away since): a system
    // set up again after this lists its devices anew.
    listedDrivers_.clear();
    return result;
  }
  mixBuffer_.assign(kUpdateFrames * 2, 0);
  initialised_ = true;
  return VE_OK;
}

VEResult VESystem::close() {
  if (!initialised_) return VE_OK;
  // The output's thread goes first: it reaches the streams through the mixer.
  output_->close();
  for (VESound* sound : sounds_) {
    sound->stream_->closeNow();
    delete sound;
  }
  sounds_.clear();
  for (const std::shared_ptr<VEStream>& stream : dyingStreams_) stream->closeNow();
  dyingStreams_.clear();
  output_.reset();
  mixer_.reset();
  initialised_ = false;
  activeType_ = outputType_;
  VEFileReader::pruneOrphans();
  return VE_OK;
}

VEResult VESystem::update() {
  if (!initialised_) return VE_ERR_UNINITIALIZED;
  VEFileReader::pruneOrphans();
  mixer_->beginUpdate(++updateSerial_);
  if (nonRealTime_) {
    for (VESound* sound : sounds_) sound->stream_->settle(kUpdateFrames);
    size_t frames = mixer_->mixNonRealTime(mixBuffer_.data(), kUpdateFrames);
    if (frames > 0) output_->write(mixBuffer_.data(), frames);
  } else {
    // The worker usually serves reads just before this call: look now.
    for (VESound* sound : sounds_) sound->stream_->wake();
  }
  deliverEnds();
  reapStreams();
  return output_->lost() || outputFailed_ ? VE_ERR_OUTPUT_LOST : VE_OK;
}

void VESystem::matchRate(VEStream& stream) {
  int rate = stream.sourceRate();
  int current = mixer_->sampleRate();
  if (rate > 0 && rate != current && output_->followsRate() && !output_->lost() && !outputFailed_ &&
      !mixer_->anyAttached()) {
    output_->close();
    mixer_->setSampleRate(rate);
    if (output_->open(outputDriver_, rate, mixer_.get()) != VE_OK) {
      mixer_->setSampleRate(current);
      outputFailed_ = output_->open(outputDriver_, current, mixer_.get()) != VE_OK;
    }
  }
  stream.setMixRate(mixer_->sampleRate());
}

void VESystem::deliverEnds() {
  for (const VEMixer::End& end : mixer_->pendingEnds()) {
    VEChannelCallback callback = nullptr;
    if (!mixer_->endCallback(end, &callback)) continue;
    if (callback) {
      callback(channels_[static_cast<size_t>(end.index)].get(), VE_CHANNEL_CALLBACKTYPE_END, nullptr, nullptr);
    }
    // The channel stays attached through its callback, then lets go.
    VESound* sound = mixer_->finishEnd(end, updateSerial_);
    if (sound) sound->channelIndex_ = -1;
  }
}

void VESystem::reapStreams() {
  auto finished = [](const std::shared_ptr<VEStream>& stream) {
    if (!stream->finished()) return false;
    stream->join();
    return true;
  };
  dyingStreams_.erase(std::remove_if(dyingStreams_.begin(), dyingStreams_.end(), finished), dyingStreams_.end());
}

// ---------------------------------------------------------------- sounds

bool VESystem::owns(VESound* sound) const {
  return std::find(sounds_.begin(), sounds_.end(), sound) != sounds_.end();
}

VEResult VESystem::createStream(const char* name, unsigned int mode, VESound** sound) {
  if (!name || !sound) return VE_ERR_INVALID_PARAM;
  if (!initialised_) return VE_ERR_UNINITIALIZED;
  if (!openCallback_) return VE_ERR_FILE_SYSTEM;
  VEStreamConfig config;
  config.name = name;
  config.open = openCallback_;
  config.close = closeCallback_;
  config.read = readCallback_;
  config.userData = fileUserData_;
  config.blockAlign = blockAlign_;
  config.bufferSize = std::max(streamBufferSize_, blockAlign_);
  int rate = mixer_->sampleRate();
  config.decodeFrames = static_cast<unsigned int>(uint64_t(decodeBufferMs_) * uint64_t(rate) / 1000);
  config.mixRate = rate;
  config.followSource = output_->followsRate();
  config.maxInputChannels = maxInputChannels_;
  config.resampler = resampler_;
  auto stream = std::make_shared<VEStream>(std::move(config));
  if (!stream->start()) return VE_ERR_INTERNAL;
  auto* created = new VESound(this, stream);
  sounds_.push_back(created);
  *sound = created;
  // Only now may the open callback run: the caller already holds the sound.
  stream->launch();
  return VE_OK;
}

void VESystem::releaseSound(VESound* sound) {
  if (sound->channelIndex_ >= 0 && mixer_) mixer_->detach(sound->channelIndex_);
  sound->channelIndex_ = -1;
  sound->stream_->release();
  dyingStreams_.push_back(sound->stream_);
  sounds_.erase(std::find(sounds_.begin(), sounds_.end(), sound));
  delete sound;
}

VEResult VESystem::getChannel(int index, VEChannel** channel) {
  if (!channel) return VE_ERR_INVALID_PARAM;
  if (!initialised_) return VE_ERR_UNINITIALIZED;
  if (index < 0 || index >= static_cast<int>(channels_.size())) return VE_ERR_INVALID_PARAM;
  *channel = channels_[static_cast<size_t>(index)].get();
  return VE_OK;
}

VEResult VESystem::playSound(int channelIndex, VESound* sound, bool paused, VEChannel** channel) {
  if (!initialised_) return VE_ERR_UNINITIALIZED;
  if (!sound || !owns(sound)) return VE_ERR_INVALID_PARAM;
  int index = channelIndex;
  if (channelIndex == VE_CHANNEL_FREE) {
    index = mixer_->freeSlot();
  } else if (channelIndex == VE_CHANNEL_REUSE) {
    if (!channel || !*channel || (*channel)->system_ != this) return VE_ERR_INVALID_PARAM;
    index = (*channel)->index_;
  }
  if (index < 0 || index >= static_cast<int>(channels_.size())) return VE_ERR_INVALID_PARAM;
  VEResult playable = sound->stream_->playable();
  if (playable != VE_OK) return playable;

  if (sound->channelIndex_ >= 0) mixer_->detach(sound->channelIndex_);
  VESound* previous = mixer_->detach(index);
  if (previous) previous->channelIndex_ = -1;
  sound->stream_->rewind();
  matchRate(*sound->stream_);
  mixer_->attach(index, sound, sound->stream_, paused);
  sound->channelIndex_ = index;
  if (channel) *channel = channels_[static_cast<size_t>(index)].get();
  return VE_OK;
}
