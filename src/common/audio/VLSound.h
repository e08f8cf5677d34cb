#pragma once

#include "VETypes.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "VLFileHandle.h"

class VEChannel;
class VESound;
class VLAudioInterface;
class VLFileHandle;
class VLMutex;

// One track being played: one engine stream, opened without blocking from a
// stream URL through the audio interface's file callbacks, on one channel slot
// that the sound holds for its whole life.
//
// Threads
// - Main thread (the page): play, pause and setPosition queue commands under the
//   commands lock; setMuted, setVolume and the getters touch single atomic
//   values; getRanges takes the ranges lock; takePendingData the audio lock.
// - Worker thread: update, save and restore, under the audio lock held by the
//   caller. The update applies the command queue and refreshes what the page
//   polls. It takes the commands lock only to read or remove the front, never
//   across an engine call.
// - Engine threads: the file callbacks call getStreamSerial, isOpening,
//   getFileHandle, setFileHandle, setData and setEmptyFile under the audio lock.
// init and clean run under the audio lock.
class VLSound {
 public:
  enum CommandType {
    Play = 0,        // value: the previous sound's id for a gapless play, or -1
    Pause = 1,       // value: 0
    SetPosition = 2  // value: the target in milliseconds
  };

  struct Command {
    CommandType type;
    int value;
    // A seek that puts a sound back where it was (a device switch): the
    // exact sample frame, which value in milliseconds cannot name; -1
    // for every seek of the page.
    int64_t frame = -1;
  };
  typedef std::list<Command> CommandList;

  enum GaplessState {
    NoPrevious = 0,       // play at once
    WaitingPrevious = 1,  // standing ready, paused, until the previous sound ends
    Started = 2
  };

  // The open states the page reads: 0..7 are the engine's, plus these two.
  static const int kStateNotPolled = 8;
  static const int kStateEmptyFile = 9;
  // The queue refuses a command when it already holds this many.
  static const size_t kMaxCommands = 1000;

  explicit VLSound(VLAudioInterface* owner);
  // Runs clean(nullptr).
  virtual ~VLSound();

  // --- Page side (main thread) -------------------------------------------

  // Queue a command; false ("Command queue overflow") when the queue is full.
  bool play(bool gapless, int previousSoundId);
  bool pause();
  // Replaces a seek that is the last queued command and not yet being applied.
  bool setPosition(unsigned int milliseconds);

  // Stored for the next update; false and nothing stored while the open failed.
  bool setMuted(bool muted);
  // The volume is kept within 0 to 1, as the channel applies it; NaN keeps
  // the volume as it was.
  bool setVolume(float volume);

  // The engine's open state as last polled (8 before the first poll, 9 for a
  // failed open of an empty file).
  int getState() const;
  bool getPaused() const { return paused_.load(); }
  bool getPlaying() const { return playing_.load(); }
  bool getStarving() const { return starving_.load(); }
  unsigned int getLength() const { return length_.load(); }
  bool getMuted() const { return muted_.load(); }
  float getVolume() const { return volume_.load(); }
  // The seek target while a seek is in progress, else the last polled position.
  unsigned int getPosition() const;
  // Appends the loaded ranges (start, end, start, end ... in milliseconds).
  void getRanges(std::list<float>& ranges);
  // The data that came with the stream's file, once; empty afterwards.
  std::string takePendingData();

  // --- Engine side -------------------------------------------------------

  // Takes a channel slot and starts opening a stream for url; false, with the
  // slot given back, when either fails. Audio lock held.
  bool init(const std::string& url);
  // Stops the channel, frees the slot and lets go of the engine sound: handed
  // over through out when given (for a deferred release), else released here.
  // Audio lock held.
  bool clean(VESound** out);
  // One pass of the worker thread; false when the open failed or an engine
  // call failed. Audio lock held.
  bool update();
  // Device switch: save lets go of the stream and queues what brings it back
  // (the seek to its position, then pause or play, for a sound that was
  // playing or paused), once: saved again before its stream reopened, it
  // keeps the way back already queued. restore opens the stream again.
  // Audio lock held.
  bool save();
  bool restore();

  std::string getUrl() const { return url_; }
  // The stream's own name, unique in the process for the life of the stream.
  uint64_t getStreamSerial() const { return streamSerial_; }
  bool isOpening() const { return opening_; }
  // Whether the stream's open is still wanted: false once the sound lets go
  // of the stream (deleted, reset, switched). Shared with the open callback,
  // which reads it without the audio lock while the open waits.
  std::shared_ptr<const std::atomic<bool>> openWanted() const { return openWanted_; }
  VLFileHandle* getFileHandle() const { return fileHandle_; }
  void setFileHandle(void* handle);
  void setData(const std::string& data);
  void setEmptyFile(bool empty) { emptyFile_.store(empty); }

  // Copies of the command queue for VLAudioInterface::resetSound.
  CommandList* copyCommands();
  // Moves the commands of list to the end of the queue; list stays allocated.
  void appendCommands(CommandList* list);
  static void deleteCommandList(CommandList* list);

  // Takes the waiting sound's part in a gapless play; see the source.
  bool checkGapless(VLSound* previous, GaplessState& state);

  static VEResult channelCallback(VEChannel* channel, VEChannelCallbackType type, void* data1, void* data2);

 private:
  enum ApplyResult { Applied, Waiting, Failed };

  bool queueCommand(CommandType type, int value, bool replaceLastSeek);
  bool applyCommands(VEChannel*& channel);
  ApplyResult applyCommand(const Command& command, VEChannel*& channel);
  ApplyResult applySetPosition(const Command& command, VEChannel*& channel);
  VEResult seek(VEChannel* channel, const Command& command);
  // The channel's position in sample frames; false when it plays nothing.
  bool pollFrame(unsigned int* frame);
  ApplyResult applyPause(VEChannel*& channel);
  ApplyResult applyPlay(int previousId, VEChannel*& channel);
  VEResult pollPosition(VESound* sound, VEChannel* channel, unsigned int* milliseconds);
  void refreshRanges();

  VLAudioInterface* owner_;
  VESound* sound_;
  int channelSlot_;
  std::string url_;
  uint64_t streamSerial_;
  std::shared_ptr<std::atomic<bool>> openWanted_;

  // Under the audio lock.
  bool opening_;
  VLFileHandle* fileHandle_;
  // The file the stream last opened (kept after its close), and whether the
  // engine's refusal of it as no audio has been reported to the source.
  std::unique_ptr<VLFileHandle> openedFile_;
  bool refusalReported_;
  // A read of the stream failed for bytes that will not come: the engine
  // ends such a stream where it is, and the page must see it failed.
  bool readFailed_;
  std::string data_;
  std::string pendingData_;

  // Polled by the main thread.
  std::atomic<unsigned int> seekTarget_;
  std::atomic<int> state_;
  std::atomic<bool> emptyFile_;
  std::atomic<bool> paused_;
  std::atomic<bool> playing_;
  std::atomic<bool> starving_;
  std::atomic<unsigned int> position_;
  std::atomic<unsigned int> length_;
  std::atomic<bool> muted_;
  std::atomic<float> volume_;

  std::list<float> ranges_;
  VLMutex* rangesLock_;

  CommandList commands_;
  // Set while the worker applies the front command outside the lock: the
  // page may then not replace it, so the worker removes exactly the command
  // it applied.
  bool applyingFront_;
  VLMutex* commandsLock_;

  // Worker thread only.
  // The start of a waiting gapless play was handed to the engine, which
  // unpauses the channel right after the previous sound's last sample.
  bool startHandedOver_;
  // save queued the way back (seek, then play or pause) and the stream has
  // not reopened since. Audio lock.
  bool restorePending_;
  bool seekDelayed_;
  bool nullWarned_;
};
