#include "VLSound.h"

#include "VEChannel.h"
#include "VESound.h"
#include "VESystem.h"
#include "VLAudioInterface.h"
#include "VLFileHandle.h"
#include "VLLogger.h"
#include "VLMutex.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"
#include "VLStreamSource.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace {

const unsigned int kStreamMode = VE_MODE_IGNORETAGS | VE_MODE_NONBLOCKING | VE_MODE_MPEGSEARCH;

// Stream names are serial numbers: unique for the life of the process, so an
// open can never be handed to a sound that merely shares its URL.
std::atomic<uint64_t> g_nextStreamSerial(1);

// The channel no longer plays this sound: its values read as false.
bool readFlag(VEResult result, bool value) {
  return result == VE_OK ? value : false;
}

}  // namespace

VLSound::VLSound(VLAudioInterface* owner)
    : owner_(owner),
      sound_(nullptr),
      channelSlot_(-1),
      streamSerial_(0),
      opening_(false),
      fileHandle_(nullptr),
      refusalReported_(false),
      readFailed_(false),
      seekTarget_(0),
      state_(kStateNotPolled),
      emptyFile_(false),
      paused_(false),
      playing_(false),
      starving_(false),
      position_(0),
      length_(0),
      muted_(false),
      volume_(1.0f),
      rangesLock_(VLPlatformFactory::instance()->createMutex()),
      applyingFront_(false),
      commandsLock_(VLPlatformFactory::instance()->createMutex()),
      startHandedOver_(false),
      restorePending_(false),
      seekDelayed_(false),
      nullWarned_(false) {}

VLSound::~VLSound() {
  clean(nullptr);
  delete commandsLock_;
  delete rangesLock_;
}

// ---------------------------------------------------------------------------
// Page side

bool VLSound::queueCommand(CommandType type, int value, bool replaceLastSeek) {
  VLMutexLocker locker(commandsLock_);
  if (replaceLastSeek && !commands_.empty() && commands_.back().type == SetPosition) {
    // The front may be in the worker's hands right now; it is then kept, and
    // the worker removes exactly it once applied.
    const bool backIsApplying = applyingFront_ && commands_.size() == 1;
    if (!backIsApplying) {
      commands_.back() = Command{SetPosition, value, -1};
      return true;
    }
  }
  if (commands_.size() >= kMaxCommands) {
    VL_LOG_ERROR("Command queue overflow");
    return false;
  }
  commands_.push_back(Command{type, value, -1});
  return true;
}

bool VLSound::play(bool gapless, int previousSoundId) {
  return queueCommand(Play, gapless ? previousSoundId : -1, false);
}

bool VLSound::pause() {
  return queueCommand(Pause, 0, false);
}

bool VLSound::setPosition(unsigned int milliseconds) {
  return queueCommand(SetPosition, static_cast<int>(milliseconds), true);
}

bool VLSound::setMuted(bool muted) {
  if (state_.load() == VE_OPENSTATE_ERROR) return false;
  muted_.store(muted);
  return true;
}

bool VLSound::setVolume(float volume) {
  if (state_.load() == VE_OPENSTATE_ERROR) return false;
  // The value kept is the one the channel applies, so that the page reads
  // back what it hears: 0 to 1, and no number at all changes nothing.
  if (!std::isnan(volume)) volume_.store(std::min(std::max(volume, 0.0f), 1.0f));
  return true;
}

int VLSound::getState() const {
  const int state = state_.load();
  if (state == VE_OPENSTATE_ERROR && emptyFile_.load()) return kStateEmptyFile;
  return state;
}

unsigned int VLSound::getPosition() const {
  if (state_.load() == VE_OPENSTATE_SETPOSITION) return seekTarget_.load();
  return position_.load();
}

void VLSound::getRanges(std::list<float>& ranges) {
  VLMutexLocker locker(rangesLock_);
  ranges.insert(ranges.end(), ranges_.begin(), ranges_.end());
}

std::string VLSound::takePendingData() {
  VLMutexLocker locker(owner_->getMutex());
  std::string data;
  data.swap(pendingData_);
  return data;
}

// ---------------------------------------------------------------------------
// File callbacks' side

void VLSound::setFileHandle(void* handle) {
  if (!opening_) {
    VL_LOG_WARN("Unexpected file handle change : " << static_cast<void*>(fileHandle_) << " => " << handle << ", "
                                                   << url_);
  }
  fileHandle_ = static_cast<VLFileHandle*>(handle);
  if (fileHandle_) openedFile_.reset(new VLFileHandle(*fileHandle_));
  opening_ = false;
}

void VLSound::setData(const std::string& data) {
  if (data == data_) return;
  data_ = data;
  pendingData_ = data;
}

VLSound::CommandList* VLSound::copyCommands() {
  VLMutexLocker locker(commandsLock_);
  return new CommandList(commands_);
}

void VLSound::appendCommands(CommandList* list) {
  if (!list) return;
  VLMutexLocker locker(commandsLock_);
  commands_.splice(commands_.end(), *list);
}

void VLSound::deleteCommandList(CommandList* list) {
  delete list;
}

// ---------------------------------------------------------------------------
// Life of the stream

bool VLSound::init(const std::string& url) {
  url_ = url;
  if (!owner_->allocChannel(&channelSlot_)) {
    VL_LOG_ERROR("Unable to allocate channel index");
    clean(nullptr);
    return false;
  }
  VESystem* system = owner_->getSystem();
  if (!system) {
    clean(nullptr);
    return false;
  }
  streamSerial_ = g_nextStreamSerial.fetch_add(1);
  openWanted_ = std::make_shared<std::atomic<bool>>(true);
  opening_ = true;
  fileHandle_ = nullptr;
  readFailed_ = false;
  refusalReported_ = false;
  state_.store(kStateNotPolled);
  const std::string name = std::to_string(streamSerial_);
  const VEResult result = system->createStream(name.c_str(), kStreamMode, &sound_);
  if (result != VE_OK) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    sound_ = nullptr;
    opening_ = false;
    clean(nullptr);
    return false;
  }
  return true;
}

bool VLSound::clean(VESound** out) {
  if (channelSlot_ != -1) {
    VESystem* system = owner_->getSystem();
    if (system) {
      VEChannel* channel = nullptr;
      VEResult result = system->getChannel(channelSlot_, &channel);
      if (result != VE_OK) {
        VL_LOG_ERROR(VLAudioInterface::describeResult(result));
        return false;
      }
      result = channel->stop();
      if (result != VE_OK && result != VE_ERR_INVALID_HANDLE) {
        VL_LOG_ERROR(VLAudioInterface::describeResult(result));
        return false;
      }
    }
    if (!owner_->freeChannel(channelSlot_)) {
      VL_LOG_ERROR("Unable to free channel index");
      return false;
    }
    channelSlot_ = -1;
  }
  if (sound_) {
    if (out) {
      *out = sound_;
    } else {
      VEOpenState state = VE_OPENSTATE_READY;
      sound_->getOpenState(&state, nullptr, nullptr, nullptr);
      if (state == VE_OPENSTATE_PLAYING) {
        VL_LOG_WARN("Audio engine open state is playing, skip sound release");
      } else {
        const VEResult result = sound_->release();
        if (result != VE_OK) {
          VL_LOG_ERROR(VLAudioInterface::describeResult(result));
          return false;
        }
      }
    }
    sound_ = nullptr;
  }
  // A stream that is let go before its open was served will never be handed
  // its handle; the open callback gives that handle back to the source, and
  // an open still waiting for its file is abandoned.
  if (openWanted_) openWanted_->store(false);
  opening_ = false;
  fileHandle_ = nullptr;
  return true;
}

bool VLSound::save() {
  // Saved again before the last restore reached the engine (a second switch
  // while the stream reopens): the queue still holds the way back, and the
  // sound has not moved since. Queuing it twice would play it twice, and a
  // second play starts a sound again from its beginning.
  if (restorePending_) {
    if (!clean(nullptr)) return false;
    startHandedOver_ = false;
    return true;
  }
  // What the page saw: a position under a seek in progress is the seek's.
  // The sound comes back on the very sample frame it stood on: a position
  // in whole milliseconds would move it back a little at every switch.
  const bool playing = playing_.load();
  const bool paused = paused_.load();
  Command seek{SetPosition, static_cast<int>(getPosition()), -1};
  unsigned int frame = 0;
  if (pollFrame(&frame)) seek.frame = frame;
  if (!clean(nullptr)) return false;
  startHandedOver_ = false;

  VLMutexLocker locker(commandsLock_);
  // Only a sound that was on its channel is put back there; one that never
  // started or that ended stays idle. A seek still waiting at the front of
  // the queue is newer than the position: it becomes the seek that restores.
  if (!playing) return true;
  if (!commands_.empty() && commands_.front().type == SetPosition) {
    seek = commands_.front();
    commands_.pop_front();
  }
  commands_.push_front(Command{paused ? Pause : Play, paused ? 0 : -1, -1});
  commands_.push_front(seek);
  restorePending_ = true;
  return true;
}

bool VLSound::pollFrame(unsigned int* frame) {
  VESystem* system = owner_->getSystem();
  VEChannel* channel = nullptr;
  return system && channelSlot_ != -1 && system->getChannel(channelSlot_, &channel) == VE_OK &&
         channel->getPosition(frame, VE_TIMEUNIT_PCM) == VE_OK;
}

bool VLSound::restore() {
  return init(url_);
}

// ---------------------------------------------------------------------------
// Update

bool VLSound::update() {
  if (!sound_) {
    if (!nullWarned_) VL_LOG_WARN("Sound is null, wait");
    nullWarned_ = true;
    return true;
  }
  nullWarned_ = false;
  VESystem* system = owner_->getSystem();
  if (!system) return false;
  VLMutexLocker locker(owner_->getMutex());

  VEOpenState state = VE_OPENSTATE_LOADING;
  bool starving = false;
  VEResult result = sound_->getOpenState(&state, nullptr, &starving, nullptr);
  if (result != VE_OK && result != VE_ERR_FILE_NOTFOUND && result != VE_ERR_FORMAT && result != VE_ERR_INTERNAL) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return false;
  }
  VLStreamSource* source = owner_->getStreamSource();
  if (fileHandle_ && source && source->hasFailedReads(fileHandle_)) readFailed_ = true;
  if (readFailed_) state = VE_OPENSTATE_ERROR;
  state_.store(state);
  starving_.store(starving);
  if (state == VE_OPENSTATE_ERROR) {
    // Bytes the engine takes for no audio at all (a web page stored as the
    // track) would fail every later play of the file as well.
    if (result == VE_ERR_FORMAT && openedFile_ && !refusalReported_ && !emptyFile_.load() && source) {
      refusalReported_ = true;
      source->discardUnplayable(*openedFile_);
    }
    return false;
  }

  VEChannel* channel = nullptr;
  result = system->getChannel(channelSlot_, &channel);
  if (result != VE_OK) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return false;
  }

  bool ok = true;
  if (state != VE_OPENSTATE_LOADING) {
    // Once open, the stream takes the whole way back in this pass.
    ok = applyCommands(channel) && ok;
    restorePending_ = false;
  }

  unsigned int length = 0;
  result = sound_->getLength(&length, VE_TIMEUNIT_MS);
  if (result == VE_OK) {
    length_.store(length);
  } else if (result != VE_ERR_NOTREADY) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return false;
  }

  // A stream still opening is on no channel yet: its flags keep what they
  // were. After an output switch that is the state the sound is being put
  // back in, which the page must not see as stopped while the stream reopens.
  if (state != VE_OPENSTATE_LOADING) {
    bool paused = false;
    bool playing = false;
    result = channel->getPaused(&paused);
    if (result != VE_OK && result != VE_ERR_INVALID_HANDLE) {
      VL_LOG_ERROR(VLAudioInterface::describeResult(result));
      return false;
    }
    paused_.store(readFlag(result, paused));
    result = channel->isPlaying(&playing);
    if (result != VE_OK && result != VE_ERR_INVALID_HANDLE) {
      VL_LOG_ERROR(VLAudioInterface::describeResult(result));
      return false;
    }
    playing_.store(readFlag(result, playing));
  }

  unsigned int position = 0;
  result = pollPosition(sound_, channel, &position);
  if (result == VE_OK) {
    position_.store(position);
  } else if (result != VE_ERR_INVALID_HANDLE) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return false;
  }

  // The engine plays silence by itself while the stream starves. Muting the
  // channel on the starving flag of this poll would also mute the first data
  // that arrives before the next poll, so only the page's mute is applied.
  const VEResult settings[] = {
      channel->setUserData(this),
      channel->setCallback(&VLSound::channelCallback),
      channel->setMute(muted_.load()),
      channel->setVolume(volume_.load()),
  };
  for (VEResult setting : settings) {
    if (setting != VE_OK && setting != VE_ERR_INVALID_HANDLE) {
      VL_LOG_ERROR(VLAudioInterface::describeResult(setting));
      return false;
    }
  }

  refreshRanges();
  return ok;
}

bool VLSound::applyCommands(VEChannel*& channel) {
  for (;;) {
    Command command;
    {
      VLMutexLocker locker(commandsLock_);
      if (commands_.empty()) return true;
      command = commands_.front();
      applyingFront_ = true;
    }
    const ApplyResult result = applyCommand(command, channel);
    VLMutexLocker locker(commandsLock_);
    applyingFront_ = false;
    if (result == Applied) {
      // While the front was applied the page could only append behind
      // it: the front is still the command applied.
      commands_.pop_front();
      // What it changed shows in the next pass's mix and positions:
      // that pass comes at once rather than after the worker's wait.
      if (VLStreamSource* source = owner_->getStreamSource()) source->wake();
      continue;
    }
    return result == Waiting;
  }
}

VLSound::ApplyResult VLSound::applyCommand(const Command& command, VEChannel*& channel) {
  switch (command.type) {
    case SetPosition: return applySetPosition(command, channel);
    case Pause: return applyPause(channel);
    case Play: return applyPlay(command.value, channel);
  }
  return Applied;
}

VLSound::ApplyResult VLSound::applySetPosition(const Command& command, VEChannel*& channel) {
  const unsigned int milliseconds = static_cast<unsigned int>(command.value);
  VEResult result = seek(channel, command);
  if (result == VE_OK) {
    seekTarget_.store(milliseconds);
    seekDelayed_ = false;
    return Applied;
  }
  if (result == VE_ERR_INVALID_POSITION) {
    VL_LOG_WARN("Unable to seek to position : " << milliseconds);
    return Applied;
  }
  if (result == VE_ERR_NOTREADY) {
    if (!seekDelayed_) VL_LOG_INFO("Sound is not ready, delay seek");
    seekDelayed_ = true;
    return Waiting;
  }
  if (result != VE_ERR_INVALID_HANDLE) {
    seekDelayed_ = false;
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return Failed;
  }
  // Nothing on the channel: put the sound there, paused, and seek it.
  seekDelayed_ = false;
  result = owner_->getSystem()->playSound(VE_CHANNEL_REUSE, sound_, true, &channel);
  if (result == VE_ERR_NOTREADY) {
    VL_LOG_INFO("Sound is not ready, delay seek");
    return Waiting;
  }
  if (result != VE_OK) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return Failed;
  }
  result = seek(channel, command);
  if (result == VE_OK) {
    seekTarget_.store(milliseconds);
    return Applied;
  }
  if (result == VE_ERR_NOTREADY) {
    VL_LOG_INFO("Sound is not ready, delay seek");
    return Waiting;
  }
  if (result == VE_ERR_INVALID_POSITION) {
    VL_LOG_WARN("Unable to seek to position : " << milliseconds);
    return Applied;
  }
  VL_LOG_ERROR(VLAudioInterface::describeResult(result));
  return Failed;
}

VEResult VLSound::seek(VEChannel* channel, const Command& command) {
  if (command.frame >= 0) return channel->setPosition(static_cast<unsigned int>(command.frame), VE_TIMEUNIT_PCM);
  return channel->setPosition(static_cast<unsigned int>(command.value), VE_TIMEUNIT_MS);
}

VLSound::ApplyResult VLSound::applyPause(VEChannel*& channel) {
  VEResult result = channel->setPaused(true);
  if (result == VE_OK) return Applied;
  if (result == VE_ERR_INVALID_HANDLE) {
    result = owner_->getSystem()->playSound(VE_CHANNEL_REUSE, sound_, true, &channel);
    if (result == VE_OK) return Applied;
    if (result == VE_ERR_NOTREADY) return Waiting;
  }
  VL_LOG_ERROR(VLAudioInterface::describeResult(result));
  return Failed;
}

VLSound::ApplyResult VLSound::applyPlay(int previousId, VEChannel*& channel) {
  VLSound* previous = nullptr;
  if (previousId != -1 && !owner_->getSound(previousId, &previous)) previous = nullptr;
  GaplessState gapless = NoPrevious;
  if (!checkGapless(previous, gapless)) return Failed;
  if (gapless == Started) return Applied;
  if (gapless == WaitingPrevious) return Waiting;

  bool paused = false;
  VEResult result = channel->getPaused(&paused);
  if (result != VE_OK && result != VE_ERR_INVALID_HANDLE) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return Failed;
  }
  if (readFlag(result, paused)) {
    result = channel->setPaused(false);
  } else {
    result = owner_->getSystem()->playSound(VE_CHANNEL_REUSE, sound_, false, &channel);
    if (result == VE_ERR_NOTREADY) return Waiting;
  }
  if (result != VE_OK) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return Failed;
  }
  return Applied;
}

// A gapless play puts this sound on its channel, paused, as early as the engine
// allows, and hands its start over to the engine, which unpauses it on the
// sample after the previous sound's last one, whatever the worker's timing.
// The update in which the previous sound's position has reached its length
// unpauses it too, for when the hand-over could not be made (the previous
// sound already left its channel). Sounds update in id order, so a previous
// sound with a lower id was refreshed in this pass, one with a higher id in the
// pass before; a previous sound whose length is still 0 holds nothing back.
bool VLSound::checkGapless(VLSound* previous, GaplessState& state) {
  if (!previous) {
    state = NoPrevious;
    startHandedOver_ = false;
    return true;
  }
  state = WaitingPrevious;
  VESystem* system = owner_->getSystem();
  if (!system) return false;

  bool standsReady = false;
  VEChannel* channel = nullptr;
  VEResult result = VE_OK;
  if (previous != this) {
    result = system->getChannel(channelSlot_, &channel);
    if (result != VE_OK) {
      VL_LOG_ERROR(VLAudioInterface::describeResult(result));
      return false;
    }
    bool playing = false;
    bool paused = false;
    result = channel->isPlaying(&playing);
    if (result != VE_OK && result != VE_ERR_INVALID_HANDLE) {
      VL_LOG_ERROR(VLAudioInterface::describeResult(result));
      return false;
    }
    playing = readFlag(result, playing);
    result = channel->getPaused(&paused);
    if (result != VE_OK && result != VE_ERR_INVALID_HANDLE) {
      VL_LOG_ERROR(VLAudioInterface::describeResult(result));
      return false;
    }
    paused = readFlag(result, paused);
    if (startHandedOver_ && !(playing && paused)) {
      // The engine started it on the previous sound's end (and it may
      // even have played to its own end since the last update).
      startHandedOver_ = false;
      state = Started;
      return true;
    }
    if (!(playing && paused)) {
      startHandedOver_ = false;
      result = system->playSound(VE_CHANNEL_REUSE, sound_, true, &channel);
      if (result == VE_ERR_NOTREADY) return true;
      if (result != VE_OK) {
        VL_LOG_ERROR(VLAudioInterface::describeResult(result));
        return false;
      }
    }
    standsReady = true;
  }
  if (previous != this && !standsReady) return true;

  VEChannel* previousChannel = nullptr;
  result = system->getChannel(previous->channelSlot_, &previousChannel);
  if (result != VE_OK) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return false;
  }
  if (previous != this && !startHandedOver_) {
    // Refused only when the previous sound has left its channel: the
    // position check below then starts this one.
    result = channel->startAfter(previousChannel);
    startHandedOver_ = result == VE_OK;
    if (result != VE_OK && result != VE_ERR_INVALID_HANDLE) {
      VL_LOG_ERROR(VLAudioInterface::describeResult(result));
      return false;
    }
  }
  unsigned int previousPosition = 0;
  result = pollPosition(previous->sound_, previousChannel, &previousPosition);
  if (result == VE_ERR_INVALID_HANDLE) {
    previousPosition = previous->getPosition();
  } else if (result != VE_OK) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return false;
  }
  if (previous->getLength() > previousPosition) return true;

  if (previous == this) {
    result = system->getChannel(channelSlot_, &channel);
    if (result == VE_OK) result = system->playSound(VE_CHANNEL_REUSE, sound_, false, &channel);
    if (result == VE_ERR_NOTREADY) return true;
  } else {
    result = channel->setPaused(false);
  }
  if (result != VE_OK) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return false;
  }
  startHandedOver_ = false;
  state = Started;
  return true;
}

// The position in milliseconds; a stream played to its last byte reports
// exactly its length. The engine answers raw positions with "unsupported": the
// substitution then has no raw position to compare and is skipped (the engine
// itself reports the length at the end).
VEResult VLSound::pollPosition(VESound* sound, VEChannel* channel, unsigned int* milliseconds) {
  if (!sound || !channel) return VE_ERR_INVALID_HANDLE;
  unsigned int rawLength = 0;
  unsigned int lengthMs = 0;
  unsigned int rawPosition = 0;
  const VEResult rawLengthResult = sound->getLength(&rawLength, VE_TIMEUNIT_RAWBYTES);
  const VEResult lengthResult = sound->getLength(&lengthMs, VE_TIMEUNIT_MS);
  const VEResult rawPositionResult = channel->getPosition(&rawPosition, VE_TIMEUNIT_RAWBYTES);
  const VEResult result = channel->getPosition(milliseconds, VE_TIMEUNIT_MS);
  if (rawLengthResult == VE_OK && lengthResult == VE_OK && result == VE_OK && rawPositionResult == VE_OK &&
      rawPosition == rawLength)
    *milliseconds = lengthMs;
  return result;
}

VEResult VLSound::channelCallback(VEChannel* channel, VEChannelCallbackType type, void* data1, void* data2) {
  if (type != VE_CHANNEL_CALLBACKTYPE_END) return VE_OK;
  void* userData = nullptr;
  VEResult result = channel->getUserData(&userData);
  if (result != VE_OK) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return result;
  }
  VLSound* sound = static_cast<VLSound*>(userData);
  if (!sound) return VE_OK;
  unsigned int position = 0;
  result = channel->getPosition(&position, VE_TIMEUNIT_MS);
  if (result != VE_OK) {
    VL_LOG_ERROR(VLAudioInterface::describeResult(result));
    return result;
  }
  sound->position_.store(position);
  return VE_OK;
}

// The loaded runs of the stream's repository file, in milliseconds. Runs on
// the worker thread, which owns the repositories.
void VLSound::refreshRanges() {
  VLRepositoryFile* file = nullptr;
  if (fileHandle_) file = fileHandle_->getRepository()->getFile(fileHandle_->getFileId(), false);
  const unsigned int length = length_.load();
  std::list<unsigned long> offsets;
  if (length != 0 && file) file->getIntervals(true, offsets);
  const float fileSize = file ? static_cast<float>(file->getSize()) : 0.0f;

  VLMutexLocker locker(rangesLock_);
  ranges_.clear();
  if (fileSize <= 0.0f) return;
  size_t index = 0;
  for (unsigned long offset : offsets) {
    const unsigned long edge = (index % 2 == 1) ? offset + 1 : offset;
    ranges_.push_back(static_cast<float>(edge) * static_cast<float>(length) / fileSize);
    ++index;
  }
}
