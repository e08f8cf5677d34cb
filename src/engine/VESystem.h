// The audio engine: one system mixes the streams of its sounds on its
// channels into one output.
//
// Threads and calls
// - The methods of a system, of its sounds and of its channels are not
//   thread-safe against each other: the caller serialises them (the audio
//   interface holds its audio lock around every call). They may come from any
//   thread, and none of them waits for a file callback or a read result.
// - Each stream has an engine thread. It calls the open callback (which may
//   block), the read callback, and the close callback of a released sound.
//   VESystem::close calls the close callbacks of the streams still open on
//   the calling thread.
// - Real-time outputs mix on their own thread (the PulseAudio main loop, the
//   ALSA writer, or the pacing thread of no sound and the WAV writer), about
//   120 ms ahead of the device. Non-real-time outputs mix only inside update.
// - Channel callbacks run only inside update, on the caller's thread.
//
// Life of a system: create -> setSoftwareFormat / setOutput / setDriver /
// setFileSystem / setStreamBufferSize / setDecodeBufferLength -> init ->
// createStream, playSound, update (every 10-50 ms) ... -> close -> release.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VEOutput.h"
#include "VETypes.h"

class VEChannel;
class VEMixer;
class VESound;
class VEStream;

class VESystem {
 public:
  // Makes a new system, not initialised, writing it into *system. The caller
  // owns it and ends it with release(). VE_ERR_INVALID_PARAM for a null out.
  static VEResult create(VESystem** system);

  // Closes the system when still initialised, then deletes it. The system,
  // its sounds and its channels are invalid afterwards.
  VEResult release();

  // Mix format, before init: sampleRate 8000..192000, VE_SOUND_FORMAT_PCM16,
  // 2 output channels, 1 or 2 input channels (mono sources are copied to both
  // sides; sources with more channels fail to open with VE_ERR_FORMAT), and the
  // resampler used for sources at another rate. Default 44100, PCM16, 2, 2,
  // VE_RESAMPLER_LINEAR. VE_ERR_INITIALIZED after init, VE_ERR_UNSUPPORTED or
  // VE_ERR_INVALID_PARAM for other values.
  // The output opens at sampleRate. Where it can change its rate (PulseAudio,
  // no sound), a sound played while no channel holds one switches it to the
  // sound's own rate, so nothing is converted; a sound played beside or
  // after others joins their rate and is converted to it.
  VEResult setSoftwareFormat(int sampleRate, VESoundFormat format, int outputChannels, int maxInputChannels,
                             VEResampler resampler);

  // Chooses the output type, before init (VE_ERR_INITIALIZED after). The
  // driver becomes 0. Unknown types answer VE_ERR_INVALID_PARAM.
  VEResult setOutput(VEOutputType type);
  // The type chosen with setOutput (VE_OUTPUTTYPE_AUTODETECT by default); after
  // init with VE_OUTPUTTYPE_AUTODETECT, the type the system settled on.
  VEResult getOutput(VEOutputType* type);

  // Drivers of the chosen output type. Each type's list is made at the first
  // call that needs it (for PulseAudio this connects to the server, without
  // spawning one) and kept for the life of the system, so that a system asks
  // a slow sound server once. With VE_OUTPUTTYPE_AUTODETECT every type the
  // automatic output tries is listed, all at once, and the list is that of
  // the first type that has drivers. An init that cannot open its device
  // drops the lists. No sound and the WAV writer have one driver each.
  VEResult getNumDrivers(int* count);
  // Name (UTF-8, cut to nameLength - 1 bytes and terminated; name may be
  // null) and identity (guid may be null) of driver index.
  // VE_ERR_OUTPUT_DRIVER for an index out of range.
  VEResult getDriverInfo(int index, char* name, int nameLength, VEGuid* guid);
  // The driver init opens, before init. VE_ERR_OUTPUT_DRIVER for an index out
  // of range (an output type without drivers accepts only 0).
  VEResult setDriver(int index);
  VEResult getDriver(int* index);

  // Opens the output and makes maxChannels channels (1..4093). flags are
  // ignored; extraDriverData is the WAV writers' file path (const char*) or
  // null. VE_ERR_OUTPUT_INIT when the device cannot be opened (with
  // VE_OUTPUTTYPE_AUTODETECT only when no sound fails too); the system then
  // stays uninitialised and init may be called again.
  VEResult init(int maxChannels, unsigned int flags, void* extraDriverData);

  // Stops the output and releases every sound (their pointers become invalid)
  // and detaches every channel. Returns without waiting for any file callback:
  // a stream thread that is inside a callback is left to finish on its own
  // and makes no further callback. Close callbacks of the streams whose open
  // succeeded run here, on this thread, except for a stream whose open
  // callback is still running, or which has a read without its result: its
  // handle is not closed (closing it would race the pending request) and its
  // request stays alive until its result is written. After close returns no
  // new callback starts. The system may be set up and initialised again.
  VEResult close();

  // One pass, called regularly by one thread (every 10-50 ms):
  // 1. real-time outputs: ends at which the mixer waits (see below) are let go
  //    when their end callbacks were delivered by an earlier update;
  // 2. non-real-time outputs: each stream is brought up to date (its thread
  //    has taken in every written read result and filled its decode buffer as
  //    far as the data allows), then the mixer mixes up to 1024 frames into
  //    the output, fewer when a sound ends, none when no channel plays;
  // 3. end callbacks of the channels whose sound ended are called, in channel
  //    order, and those channels are then detached;
  // 4. released sounds whose streams have finished are freed.
  // Answers VE_ERR_OUTPUT_LOST, after doing all of the above, once the
  // device of a real-time output has gone away (unplugged, sound server
  // stopped): nothing is mixed any more, so sounds stand still until the
  // caller closes the system and initialises it again, on another device.
  // When a channel's last sample is mixed the mixer's timeline stops there
  // until the update after the one that delivered its end callback, so a
  // channel unpaused (or played) in reaction to the end starts on the very
  // next sample: consecutive sounds join without gap or overlap.
  VEResult update();

  // The network proxy: always empty (the engine does no network I/O).
  // VE_ERR_INVALID_PARAM for a null buffer or a length below 1.
  VEResult getNetworkProxy(char* proxy, int proxyLength);

  // Size of each stream's file buffer, in VE_TIMEUNIT_RAWBYTES only
  // (VE_ERR_UNSUPPORTED for other units); it bounds every read and applies to
  // streams created afterwards. 0 or more than kMaxStreamBufferSize (16 MiB):
  // VE_ERR_INVALID_PARAM. Default 16384 bytes. It is rounded up to the block
  // alignment.
  static constexpr unsigned int kMaxStreamBufferSize = 16u << 20;
  VEResult setStreamBufferSize(unsigned int size, VETimeUnit unit);
  VEResult getStreamBufferSize(unsigned int* size, VETimeUnit* unit);

  // Length of each stream's decoded-sound buffer, 20..10000 ms (default 400);
  // applies to streams created afterwards. VE_ERR_INVALID_PARAM otherwise.
  VEResult setDecodeBufferLength(unsigned int milliseconds);

  // The file callbacks through which every stream is read, the block
  // alignment of reads (1..16 MiB; 0 means 1) and the user data each open
  // callback finds in its *userData (not owned). All three callbacks are
  // required (VE_ERR_INVALID_PARAM). Applies to streams created afterwards.
  VEResult setFileSystem(VEFileOpenCallback open, VEFileCloseCallback close, VEFileAsyncReadCallback asyncRead,
                         int blockAlign, void* userData = nullptr);

  // Starts opening a stream named name (a copy is taken) and writes the new
  // sound into *sound before the open callback can run; returns at once. The
  // stream's thread then calls the open callback exactly once, detects the
  // format from the content ("fLaC" at the start or after an ID3v2 tag:
  // FLAC; the first MPEG frame confirmed by the next one, at most 128 KiB
  // past there: MP3, played from that frame) and reads the header; the sound is
  // VE_OPENSTATE_LOADING until then, VE_OPENSTATE_READY or VE_OPENSTATE_ERROR
  // after. On failure no thread starts and no callback runs:
  // VE_ERR_UNINITIALIZED before init, VE_ERR_FILE_SYSTEM without callbacks,
  // VE_ERR_INVALID_PARAM for null arguments. Streams never loop.
  VEResult createStream(const char* name, unsigned int mode, VESound** sound);

  // The channel of index (0 .. maxChannels - 1). Each index has one channel
  // object, valid until release() (or an init with another channel count);
  // with no sound attached its calls answer
  // VE_ERR_INVALID_HANDLE. VE_ERR_UNINITIALIZED before init,
  // VE_ERR_INVALID_PARAM for an index out of range.
  VEResult getChannel(int index, VEChannel** channel);

  // Attaches sound to a channel and plays it from its start, paused or not:
  // channelIndex is an index, VE_CHANNEL_FREE (the lowest free channel), or
  // VE_CHANNEL_REUSE (the channel in *channel). Whatever that channel played
  // is detached without an end callback, and so is the channel the sound was
  // on before. The channel's volume (1), mute (off), user data and callback
  // (none) are reset. Decoding starts at once, paused or not. The channel is
  // written into *channel when channel is not null.
  // VE_ERR_NOTREADY while the sound is loading; the open's failure code after
  // a failed open; VE_ERR_INVALID_PARAM for a bad index or a sound of another
  // system; VE_ERR_UNINITIALIZED before init.
  VEResult playSound(int channelIndex, VESound* sound, bool paused, VEChannel** channel);

  ~VESystem();

 private:
  VESystem();
  VESystem(const VESystem&) = delete;
  VESystem& operator=(const VESystem&) = delete;

  friend class VESound;
  friend class VEChannel;

  // The drivers of type, listed at the first need.
  const std::vector<VEOutputDriver>& listedDrivers(VEOutputType type);
  void listAutomaticTypes();
  // The drivers of the chosen type (see getNumDrivers).
  const std::vector<VEOutputDriver>& drivers();
  VEResult openOutput(VEOutputType type, int driver, const std::string& wavPath);
  // Sets the rate stream mixes at: its own where it starts a timeline alone
  // and the output can follow, else the output's.
  void matchRate(VEStream& stream);
  void deliverEnds();
  void reapStreams();
  void releaseSound(VESound* sound);
  bool owns(VESound* sound) const;

  // Set-up, read by init and createStream.
  int sampleRate_ = 44100;
  int maxInputChannels_ = 2;
  VEResampler resampler_ = VE_RESAMPLER_LINEAR;
  VEOutputType outputType_ = VE_OUTPUTTYPE_AUTODETECT;
  VEOutputType activeType_ = VE_OUTPUTTYPE_AUTODETECT;
  int driver_ = 0;
  bool driversKnown_ = false;  // drivers() was asked since setOutput
  VEOutputType driversType_ = VE_OUTPUTTYPE_AUTODETECT;
  std::map<VEOutputType, std::vector<VEOutputDriver>> listedDrivers_;
  unsigned int streamBufferSize_ = 16384;
  unsigned int decodeBufferMs_ = 400;
  VEFileOpenCallback openCallback_ = nullptr;
  VEFileCloseCallback closeCallback_ = nullptr;
  VEFileAsyncReadCallback readCallback_ = nullptr;
  void* fileUserData_ = nullptr;
  unsigned int blockAlign_ = 1;

  // While initialised.
  bool initialised_ = false;
  bool nonRealTime_ = false;
  uint64_t updateSerial_ = 0;
  std::unique_ptr<VEOutput> output_;
  VEOutputDriver outputDriver_;  // what output_ opened
  bool outputFailed_ = false;    // a change of rate could not reopen it
  std::unique_ptr<VEMixer> mixer_;
  std::vector<std::unique_ptr<VEChannel>> channels_;     // until release()
  std::vector<VESound*> sounds_;                         // live sounds, owned
  std::vector<std::shared_ptr<VEStream>> dyingStreams_;  // released, thread not yet done
  std::vector<int16_t> mixBuffer_;                       // non-real-time mixing
};
