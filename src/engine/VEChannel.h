// A channel: one slot of the mixer, playing at most one sound at a time.
//
// Each index has one channel object for the life of the system. Its calls
// answer VE_ERR_INVALID_HANDLE while no sound is attached: before playSound,
// after stop, after a playSound elsewhere took its sound, and after its end
// callback has run. A sound that played to its end stays attached, playing
// and with its position at its length, until the end callback has run in
// VESystem::update. Calls are serialised by the caller (VESystem.h).
#pragma once

#include "VETypes.h"

class VESystem;

class VEChannel {
 public:
  VEResult getIndex(int* index);

  VEResult setPaused(bool paused);
  VEResult getPaused(bool* paused);
  // True from playSound until the end callback has run (paused or not).
  VEResult isPlaying(bool* playing);

  // Position of the attached sound in VE_TIMEUNIT_MS or VE_TIMEUNIT_PCM:
  // what has been mixed so far (or the target of a seek in progress). It stays
  // below the length until the last sample is mixed, then equals it.
  // VE_ERR_UNSUPPORTED for other units (VE_TIMEUNIT_RAWBYTES included).
  VEResult getPosition(unsigned int* position, VETimeUnit unit);
  // Seeks without blocking (VE_TIMEUNIT_MS or VE_TIMEUNIT_PCM): the sound is
  // VE_OPENSTATE_SETPOSITION and plays silence, without moving, until data at
  // the target is decoded. VE_ERR_INVALID_POSITION past the length.
  VEResult setPosition(unsigned int position, VETimeUnit unit);

  VEResult setUserData(void* userData);
  VEResult getUserData(void** userData);
  // The callback raised, inside VESystem::update, when the sound ends.
  VEResult setCallback(VEChannelCallback callback);

  VEResult setMute(bool mute);
  VEResult getMute(bool* mute);
  // Volume is clamped to 0..1; NaN is ignored (answers VE_OK, keeps the value).
  // At 1 and unmuted the sound is mixed bit-exactly.
  VEResult setVolume(float volume);
  VEResult getVolume(float* volume);

  // Hands this channel's start over to the mix: it is unpaused on the frame
  // right after the last frame of the sound that previous plays now, on the
  // mixing thread, so the two join without gap or overlap whenever update
  // runs; that end then holds nothing back (see VESystem::update). When that
  // sound has ended already, this channel starts at once. setPaused, stop,
  // and a playSound on either channel cancel it. VE_ERR_INVALID_HANDLE when
  // either channel has no sound; VE_ERR_INVALID_PARAM for previous == this,
  // null, or a channel of another system.
  VEResult startAfter(VEChannel* previous);

  // Detaches the sound without an end callback.
  VEResult stop();

 private:
  friend class VESystem;
  VEChannel(VESystem* system, int index);
  VEChannel(const VEChannel&) = delete;
  VEChannel& operator=(const VEChannel&) = delete;

  VESystem* system_;
  int index_;
};
