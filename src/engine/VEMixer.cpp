#include "VEMixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "VEStream.h"

namespace {
// Frames mixed in one go; a block is cut short at the end of a sound.
constexpr size_t kBlockFrames = 1024;
// Real-time outputs are fed this far ahead of the device: longer than a
// worker pass, so that the hold at the end of a sound never starves it.
constexpr size_t kAheadMilliseconds = 120;

// Saturates the mix to 16 bits. Whole chunks of a fixed size let the
// compiler turn the loop into vector min/max at -O2.
void clampTo16(const int32_t* in, int16_t* out, size_t count) {
  constexpr size_t kChunk = 16;
  size_t i = 0;
  for (; i + kChunk <= count; i += kChunk) {
    for (size_t k = 0; k < kChunk; ++k) out[i + k] = static_cast<int16_t>(std::min(std::max(in[i + k], -32768), 32767));
  }
  for (; i < count; ++i) out[i] = static_cast<int16_t>(std::min(std::max(in[i], -32768), 32767));
}
}  // namespace

VEMixer::VEMixer(int sampleRate, int channelCount)
    : slots_(static_cast<size_t>(channelCount)), mix_(kBlockFrames * 2), block_(kBlockFrames * 2) {
  setSampleRate(sampleRate);
}

void VEMixer::setSampleRate(int sampleRate) {
  std::lock_guard<std::mutex> lock(mutex_);
  sampleRate_ = sampleRate;
  aheadTarget_ = size_t(sampleRate) * kAheadMilliseconds / 1000;
  ahead_.assign((aheadTarget_ * 2 + kBlockFrames) * 2, 0);
  aheadHead_ = 0;
  aheadCount_ = 0;
  aheadIdleTail_ = 0;
}

int VEMixer::sampleRate() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sampleRate_;
}

bool VEMixer::anyAttached() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !attachedSlots_.empty();
}

template <typename F>
VEResult VEMixer::withSlot(int index, F f) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || index >= channelCount()) return VE_ERR_INVALID_PARAM;
  Slot& slot = slots_[static_cast<size_t>(index)];
  if (!slot.stream) return VE_ERR_INVALID_HANDLE;
  f(slot);
  return VE_OK;
}

// ---------------------------------------------------------------- slots

void VEMixer::attach(int index, VESound* sound, std::shared_ptr<VEStream> stream, bool paused) {
  std::lock_guard<std::mutex> lock(mutex_);
  detachLocked(index);
  Slot& slot = slots_[static_cast<size_t>(index)];
  slot.sound = sound;
  slot.stream = std::move(stream);
  slot.attachment = nextAttachment_++;
  slot.paused = paused;
  attachedSlots_.insert(std::lower_bound(attachedSlots_.begin(), attachedSlots_.end(), index), index);
}

VESound* VEMixer::detach(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  VESound* sound = slots_[static_cast<size_t>(index)].sound;
  detachLocked(index);
  return sound;
}

void VEMixer::detachLocked(int index) {
  Slot& slot = slots_[static_cast<size_t>(index)];
  if (!slot.stream) return;
  if (slot.ended) dropEnd(index, slot.attachment);
  slot = Slot();
  auto it = std::lower_bound(attachedSlots_.begin(), attachedSlots_.end(), index);
  if (it != attachedSlots_.end() && *it == index) attachedSlots_.erase(it);
}

void VEMixer::dropEnd(int index, uint64_t attachment) {
  // An end that will not be delivered counts as delivered now, so the hold
  // it caused ends at the next update.
  for (EndEntry& entry : ends_) {
    if (entry.end.index == index && entry.end.attachment == attachment && !entry.delivered) {
      entry.delivered = true;
      entry.serial = serial_;
    }
  }
}

int VEMixer::freeSlot() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i].stream) return static_cast<int>(i);
  }
  return -1;
}

bool VEMixer::attached(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  return index >= 0 && index < channelCount() && slots_[static_cast<size_t>(index)].stream;
}

std::shared_ptr<VEStream> VEMixer::streamAt(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || index >= channelCount()) return nullptr;
  return slots_[static_cast<size_t>(index)].stream;
}

VEResult VEMixer::setPaused(int index, bool paused) {
  return withSlot(index, [&](Slot& s) {
    s.paused = paused;
    s.startAfterIndex = -1;
  });
}
VEResult VEMixer::getPaused(int index, bool* paused) {
  return withSlot(index, [&](Slot& s) { *paused = s.paused; });
}
VEResult VEMixer::setMute(int index, bool mute) {
  return withSlot(index, [&](Slot& s) { s.mute = mute; });
}
VEResult VEMixer::getMute(int index, bool* mute) {
  return withSlot(index, [&](Slot& s) { *mute = s.mute; });
}
VEResult VEMixer::setVolume(int index, float volume) {
  return withSlot(index, [&](Slot& s) {
    if (!std::isnan(volume)) s.volume = std::clamp(volume, 0.0f, 1.0f);
  });
}
VEResult VEMixer::getVolume(int index, float* volume) {
  return withSlot(index, [&](Slot& s) { *volume = s.volume; });
}
VEResult VEMixer::setUserData(int index, void* userData) {
  return withSlot(index, [&](Slot& s) { s.userData = userData; });
}
VEResult VEMixer::getUserData(int index, void** userData) {
  return withSlot(index, [&](Slot& s) { *userData = s.userData; });
}
VEResult VEMixer::setCallback(int index, VEChannelCallback callback) {
  return withSlot(index, [&](Slot& s) { s.callback = callback; });
}

VEResult VEMixer::startAfter(int index, int previous) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || index >= channelCount() || previous < 0 || previous >= channelCount() || index == previous) {
    return VE_ERR_INVALID_PARAM;
  }
  Slot& slot = slots_[static_cast<size_t>(index)];
  const Slot& before = slots_[static_cast<size_t>(previous)];
  if (!slot.stream || !before.stream) return VE_ERR_INVALID_HANDLE;
  slot.startAfterIndex = previous;
  slot.startAfterAttachment = before.attachment;
  if (before.ended) startFollowers(previous, before.attachment);
  return VE_OK;
}

void VEMixer::seeking(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || index >= channelCount()) return;
  Slot& slot = slots_[static_cast<size_t>(index)];
  slot.startPending = slot.startPending || slot.paused;
}

// ---------------------------------------------------------------- update

void VEMixer::beginUpdate(uint64_t serial) {
  std::lock_guard<std::mutex> lock(mutex_);
  serial_ = serial;
  ends_.erase(
      std::remove_if(ends_.begin(), ends_.end(), [&](const EndEntry& e) { return e.delivered && e.serial < serial; }),
      ends_.end());
  updateHeld();
}

void VEMixer::updateHeld() {
  held_ = std::any_of(ends_.begin(), ends_.end(), [](const EndEntry& e) { return e.holds; });
}

size_t VEMixer::mixNonRealTime(int16_t* out, size_t maxFrames) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_ || !anyActive()) return 0;
  return mixBlock(out, maxFrames);
}

std::vector<VEMixer::End> VEMixer::pendingEnds() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<End> ends;
  for (const EndEntry& entry : ends_) {
    if (!entry.delivered) ends.push_back(entry.end);
  }
  std::sort(ends.begin(), ends.end(), [](const End& a, const End& b) { return a.index < b.index; });
  return ends;
}

bool VEMixer::endCallback(const End& end, VEChannelCallback* callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot& slot = slots_[static_cast<size_t>(end.index)];
  if (!slot.stream || slot.attachment != end.attachment) return false;
  *callback = slot.callback;
  return true;
}

VESound* VEMixer::finishEnd(const End& end, uint64_t serial) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (EndEntry& entry : ends_) {
    if (entry.end.index == end.index && entry.end.attachment == end.attachment) {
      entry.delivered = true;
      entry.serial = serial;
    }
  }
  Slot& slot = slots_[static_cast<size_t>(end.index)];
  if (!slot.stream || slot.attachment != end.attachment) return nullptr;
  VESound* sound = slot.sound;
  slot.ended = false;  // delivered: detaching must not drop it again
  detachLocked(end.index);
  return sound;
}

// ---------------------------------------------------------------- mixing

bool VEMixer::anyActive() const {
  for (int index : attachedSlots_) {
    const Slot& slot = slots_[static_cast<size_t>(index)];
    if (!slot.paused && !slot.ended) return true;
  }
  return false;
}

void VEMixer::markEnded(int index) {
  Slot& slot = slots_[static_cast<size_t>(index)];
  slot.ended = true;
  ends_.push_back(EndEntry{End{index, slot.attachment}});
  if (!startFollowers(index, slot.attachment)) held_ = true;
}

bool VEMixer::startFollowers(int index, uint64_t attachment) {
  bool started = false;
  for (int other : attachedSlots_) {
    Slot& slot = slots_[static_cast<size_t>(other)];
    if (slot.startAfterIndex != index || slot.startAfterAttachment != attachment) continue;
    slot.startAfterIndex = -1;
    slot.paused = false;
    started = true;
  }
  if (!started) return false;
  for (EndEntry& entry : ends_) {
    if (entry.end.index == index && entry.end.attachment == attachment) entry.holds = false;
  }
  updateHeld();
  return true;
}

size_t VEMixer::mixBlock(int16_t* out, size_t maxFrames, bool* active) {
  if (active) *active = false;
  if (held_) return 0;
  maxFrames = std::min(maxFrames, kBlockFrames);
  // What each playing channel can give now. A channel with frames that are
  // not its last bounds the block too, so that no channel runs dry midway
  // and ends inside the block. A channel with none plays silence (starving).
  struct Playing {
    Slot* slot;
    uint64_t frames;
  };
  Playing playing[64];
  std::vector<Playing> more;
  size_t count = 0;
  size_t frames = maxFrames;
  bool endedNow = false;
  bool startPending = false;
  for (int index : attachedSlots_) {
    Slot& slot = slots_[static_cast<size_t>(index)];
    if (slot.paused || slot.ended) continue;
    uint64_t available = 0;
    bool last = false;
    slot.stream->peek(&available, &last);
    if (last && available == 0) {
      markEnded(index);
      endedNow = true;
      continue;
    }
    if (slot.startPending && available == 0) {
      startPending = true;
      continue;
    }
    slot.startPending = false;
    if (available > 0) frames = static_cast<size_t>(std::min<uint64_t>(frames, available));
    Playing p{&slot, available};
    if (count < 64) {
      playing[count++] = p;
    } else {
      more.push_back(p);
    }
  }
  // The timeline stops at an end, unless a channel handed over takes it on.
  if (endedNow) return held_ ? 0 : mixBlock(out, maxFrames, active);
  if (count == 0 && startPending) return 0;
  if (active) *active = count > 0;

  if (count == 1 && !playing[0].slot->mute && playing[0].slot->volume == 1.0f && playing[0].frames >= frames) {
    // One stream at unit gain is its own mix.
    playing[0].slot->stream->copyInto(out, frames);
  } else {
    std::fill(mix_.begin(), mix_.begin() + static_cast<long>(frames * 2), 0);
    auto mixOne = [&](const Playing& p) {
      float gain = p.slot->mute ? 0.0f : p.slot->volume;
      p.slot->stream->mixInto(mix_.data(), static_cast<size_t>(std::min<uint64_t>(frames, p.frames)), gain);
    };
    for (size_t i = 0; i < count; ++i) mixOne(playing[i]);
    for (const Playing& p : more) mixOne(p);
    clampTo16(mix_.data(), out, frames * 2);
  }
  for (int index : attachedSlots_) {
    Slot& slot = slots_[static_cast<size_t>(index)];
    if (!slot.paused && !slot.ended && slot.stream->ended()) markEnded(index);
  }
  return frames;
}

void VEMixer::render(int16_t* frames, size_t frameCount) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t capacity = ahead_.size() / 2;
  size_t done = 0;
  if (aheadIdleTail_ > 0 && anyActive()) {
    aheadCount_ -= std::min(aheadCount_, aheadIdleTail_);
    aheadIdleTail_ = 0;
  }
  while (done < frameCount) {
    // Keep the buffer about aheadTarget_ ahead of what the device takes.
    while (!held_ && aheadCount_ < aheadTarget_ + (frameCount - done) && aheadCount_ + kBlockFrames <= capacity) {
      bool active = false;
      size_t mixed = mixBlock(block_.data(), kBlockFrames, &active);
      if (mixed == 0) break;
      aheadIdleTail_ = active ? 0 : aheadIdleTail_ + mixed;
      size_t tail = (aheadHead_ + aheadCount_) % capacity;
      size_t first = std::min(mixed, capacity - tail);
      std::copy_n(block_.data(), first * 2, ahead_.data() + tail * 2);
      std::copy_n(block_.data() + first * 2, (mixed - first) * 2, ahead_.data());
      aheadCount_ += mixed;
    }
    size_t take = std::min(frameCount - done, aheadCount_);
    if (take == 0) break;
    size_t first = std::min(take, capacity - aheadHead_);
    std::copy_n(ahead_.data() + aheadHead_ * 2, first * 2, frames + done * 2);
    std::copy_n(ahead_.data(), (take - first) * 2, frames + (done + first) * 2);
    aheadHead_ = (aheadHead_ + take) % capacity;
    aheadCount_ -= take;
    aheadIdleTail_ = std::min(aheadIdleTail_, aheadCount_);
    done += take;
  }
  // Held for longer than the buffer lasts: the device gets silence.
  if (done < frameCount) memset(frames + done * 2, 0, (frameCount - done) * 2 * sizeof(int16_t));
}
