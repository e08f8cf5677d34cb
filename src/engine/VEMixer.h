// The mixer: the channel slots, their mix into 16-bit stereo, and the hold
// at the end of a sound that makes consecutive sounds join without a gap.
//
// When a channel's last frame is mixed, the mix stops right after it (the
// block is cut there) and stays held until the update after the one that
// delivered the channel's end: a sound started in reaction to the end then
// follows on the next frame. A channel handed over in advance (startAfter)
// is unpaused by the mix itself on the frame after the end, without a hold,
// so that join does not depend on when the updates come. A real-time output pulls through render(), which
// mixes ahead of the device into a buffer of about 120 ms so that the hold
// does not starve the device. Silence mixed while nothing played is dropped
// from that buffer when a sound starts, so a start is heard at once.
//
// Every member takes the mixer's lock; the stream locks are taken inside it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "VEOutput.h"
#include "VETypes.h"

class VESound;
class VEStream;

class VEMixer : public VEMixSource {
 public:
  // A channel end waiting for its callback.
  struct End {
    int index;
    uint64_t attachment;
  };

  VEMixer(int sampleRate, int channelCount);

  int channelCount() const { return static_cast<int>(slots_.size()); }
  // The output's rate. Changing it drops what was mixed ahead; only while
  // the output is closed.
  void setSampleRate(int sampleRate);
  int sampleRate();
  // Whether any slot holds a sound.
  bool anyAttached();

  // --- channel slots (the API's thread) ---
  // Attaches a sound to a free or taken slot (what it held is detached
  // without an end); volume 1, unmuted, no user data or callback.
  void attach(int index, VESound* sound, std::shared_ptr<VEStream> stream, bool paused);
  // Detaches whatever the slot holds, without an end; returns that sound.
  VESound* detach(int index);
  // The lowest slot with nothing attached, or -1.
  int freeSlot();
  bool attached(int index);
  std::shared_ptr<VEStream> streamAt(int index);

  VEResult setPaused(int index, bool paused);
  VEResult getPaused(int index, bool* paused);
  VEResult setMute(int index, bool mute);
  VEResult getMute(int index, bool* mute);
  VEResult setVolume(int index, float volume);
  VEResult getVolume(int index, float* volume);
  VEResult setUserData(int index, void* userData);
  VEResult getUserData(int index, void** userData);
  VEResult setCallback(int index, VEChannelCallback callback);
  // Unpauses slot index right after the last frame of what previous plays now
  // is mixed (at once when that has ended already). Cancelled by setPaused,
  // and by anything attached to either slot meanwhile.
  VEResult startAfter(int index, int previous);
  // A seek on the slot: a paused one waits for its data before it is mixed.
  void seeking(int index);

  // --- update ---
  // Starts update number serial: lets go of the hold when every end it waits
  // for was delivered by an earlier update.
  void beginUpdate(uint64_t serial);
  // Non-real-time: mixes up to maxFrames into out and answers the count;
  // 0 while held or when no channel plays.
  size_t mixNonRealTime(int16_t* out, size_t maxFrames);
  // Ends not yet delivered, in channel order.
  std::vector<End> pendingEnds();
  // The callback to raise for end; false when the slot was reused since.
  bool endCallback(const End& end, VEChannelCallback* callback);
  // After the callback: detaches the slot (when still the same attachment)
  // and marks the end delivered by update serial. Answers the detached sound.
  VESound* finishEnd(const End& end, uint64_t serial);

  // --- real-time output ---
  void render(int16_t* frames, size_t frameCount) override;
  // Frames mixed ahead of the device: about this many are kept in the buffer.
  size_t aheadFrames() const { return aheadTarget_; }

 private:
  struct Slot {
    VESound* sound = nullptr;
    std::shared_ptr<VEStream> stream;
    uint64_t attachment = 0;
    bool paused = false;
    bool mute = false;
    float volume = 1.0f;
    void* userData = nullptr;
    VEChannelCallback callback = nullptr;
    bool ended = false;  // its last frame is mixed; the end is not delivered yet
    // Nothing mixed since its play or a seek made while paused: while its
    // stream has no frames it is left out of the mix instead of playing
    // silence, so its output starts on the frame that was due.
    bool startPending = true;
    // Unpaused when the slot startAfterIndex ends with this attachment.
    int startAfterIndex = -1;
    uint64_t startAfterAttachment = 0;
  };
  struct EndEntry {
    End end;
    bool delivered = false;
    uint64_t serial = 0;
    bool holds = true;  // false when a handed-over channel started on it
  };

  template <typename F>
  VEResult withSlot(int index, F f);
  // Mixes up to maxFrames; *active tells whether any channel was playing.
  size_t mixBlock(int16_t* out, size_t maxFrames, bool* active = nullptr);
  bool anyActive() const;
  void markEnded(int index);
  // Unpauses the channels waiting for the end of slot index; true if any.
  bool startFollowers(int index, uint64_t attachment);
  void updateHeld();
  void dropEnd(int index, uint64_t attachment);
  void detachLocked(int index);

  std::mutex mutex_;
  int sampleRate_;
  std::vector<Slot> slots_;
  std::vector<int> attachedSlots_;  // sorted
  uint64_t nextAttachment_ = 1;
  uint64_t serial_ = 0;
  bool held_ = false;
  std::vector<EndEntry> ends_;

  std::vector<int32_t> mix_;
  // Real-time: the frames mixed ahead of the device.
  size_t aheadTarget_;
  std::vector<int16_t> ahead_;
  size_t aheadHead_ = 0;
  size_t aheadCount_ = 0;
  size_t aheadIdleTail_ = 0;  // frames at the buffer's tail mixed with nothing playing
  std::vector<int16_t> block_;
};
