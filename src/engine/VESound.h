// A sound: one stream read through the file callbacks and decoded on its own
// engine thread. Made by VESystem::createStream; ended by release().
// Calls are serialised by the caller together with the system's (VESystem.h).
#pragma once

#include <memory>

#include "VETypes.h"

class VEStream;
class VESystem;

class VESound {
 public:
  // The open state, without blocking. The answer is VE_OK, or with
  // VE_OPENSTATE_ERROR the open's failure code (VE_ERR_FILE_NOTFOUND,
  // VE_ERR_FORMAT, VE_ERR_INTERNAL). starving is true while the decode buffer
  // is empty and a read is pending: the channel then plays silence and its
  // position does not move. percentBuffered is the decode buffer's fill in
  // percent; diskBusy is true while a read is pending. Any out may be null.
  VEResult getOpenState(VEOpenState* state, unsigned int* percentBuffered, bool* starving, bool* diskBusy);

  // Length in VE_TIMEUNIT_MS, VE_TIMEUNIT_PCM (frames at the source's rate) or
  // VE_TIMEUNIT_RAWBYTES (the file size); VE_ERR_UNSUPPORTED for other units.
  // VE_ERR_NOTREADY while loading; the open's failure code after a failed
  // open. The length of a VBR MP3 without an Info/Xing header is an estimate
  // until the stream has been decoded to its end; the length of any stream
  // whose data ends early is corrected to what was decoded, at the end.
  VEResult getLength(unsigned int* length, VETimeUnit unit);

  // Detaches the sound from its channel (no end callback) and frees it. Never
  // waits: a stream still opening or with a read pending is finished by its
  // thread, which then calls the close callback once for a successful open.
  // The pointer is invalid afterwards.
  VEResult release();

  VEResult getSystemObject(VESystem** system);

 private:
  friend class VESystem;
  friend class VEChannel;
  friend class VEMixer;

  VESound(VESystem* system, std::shared_ptr<VEStream> stream);
  ~VESound();
  VESound(const VESound&) = delete;
  VESound& operator=(const VESound&) = delete;

  VESystem* system_;
  std::shared_ptr<VEStream> stream_;
  int channelIndex_ = -1;  // the channel it is attached to, or -1
};
