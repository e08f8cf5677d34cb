#pragma once

#include "VETypes.h"

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class VESound;
class VESystem;
class VLFileHandle;
class VLMutex;
class VLSound;
class VLStreamSource;

// The audio engine of one session: its system and output device, the file
// callbacks through which every stream is read from the repositories, the table
// of sounds by id with the channel slots they hold, and the periodic update
// that drives the engine and every sound.
//
// Output device id: the engine's output type in decimal, ':' and the first
// 32-bit field of the driver's identity as an unsigned decimal; "0:0" is
// automatic output with its first driver.
//
// Threads and locks
// - The audio lock (recursive) guards the sound table, the channel table, the
//   release list and every call into the engine in use. The worker holds it
//   for its update of the engine and the sounds, and for the hand-over of
//   the sounds at a device switch, but not while a switch sets its new
//   engine up (listing devices and opening one wait on sound servers, up to
//   their time limits): that engine is not in use yet. An engine playing on
//   ALSA is the exception: it is closed first and the new one set up under
//   the lock, as a sound card's device opens only once at a time. Init holds
//   it while it sets up the first engine. The main thread
//   takes it for the sound-table operations; the file callbacks take it only
//   to look sounds up, never while they wait for the worker.
// - A second, short lock guards the values the main thread reads while the
//   worker may rewrite them: the output id, the pending output and buffer
//   size, the stream buffer size and the driver list.
// - Owned by its stream source (the player) through a shared pointer, so that
//   an engine callback still running when the session drops the interface
//   keeps it alive.
class VLAudioInterface {
 public:
  typedef std::vector<std::pair<std::string, std::string>> DriverList;

  // What the session's sounds do, as of the last update.
  enum PlaybackState {
    PlaybackStopped = 0,  // no sound on a channel
    PlaybackPaused = 1,   // a sound paused, none playing
    PlaybackPlaying = 2,  // a sound playing
  };

  static const int kChannelCount = 4093;

  VLAudioInterface();
  // Runs clean(false).
  virtual ~VLAudioInterface();

  // Sets the engine up: output device (empty means "0:0"), stream buffer size
  // in bytes, read block alignment; installs the file callbacks, which read
  // every stream from source (not owned; it outlives the interface). A device
  // that cannot be had now (its sound server not started yet) gives way to
  // the automatic output. Failures are logged and leave no system: sounds can
  // then not be created. Session thread.
  void init(const std::string& name, const std::string& output, int streamBufferSize, int blockAlign,
            VLStreamSource* source);

  // Stops the engine. Unless keepSounds, deletes every sound first. Handles
  // the engine was given but did not close are given back to the source.
  bool clean(bool keepSounds);

  // One worker pass: the engine's update, every sound's update, the deferred
  // releases, then a pending output device and buffer size. When the engine
  // reports its output device lost, the pass first switches to "0:0" as
  // setOutput does, so that every sound goes on where it was.
  // While the engine plays on no sound because nothing else opened (the sound
  // server stopped, or not started yet), every few seconds a look for a
  // device (a sound server that answers, an ALSA device that opens) runs on a
  // thread of its own, and when one answered a pass switches to the output
  // last asked for as setOutput does: a device the user chose is taken again
  // when it is back.
  bool update();

  // With now false (main thread) stores the id for the next update. With now
  // true (worker, not holding the audio lock) switches to it: every sound is
  // saved, the engine restarted on the new device and the sounds restored
  // where they were. An id that names the device in use ("T:0" for the first
  // driver of type T, or the full id) changes nothing, except while the
  // engine waits for a device (on no sound in place of one, or on the first
  // driver in place of one that is gone): then it looks for the devices
  // again. A switch that cannot open the device falls back to "0:0", keeps
  // every sound and answers false.
  bool setOutput(const std::string& id, bool now);
  std::string getOutput() const;
  // The output id a session keeps for the next one: the id in use while the
  // engine plays on the device asked for, the id asked for while it plays on
  // a fallback (no sound while the sound server is away, the automatic
  // output in place of a missing device), so that quitting then does not
  // forget the user's choice.
  std::string getOutputToKeep() const;
  // The devices found at the last init, (label, output id) in order; a copy.
  DriverList getOutputDrivers() const;

  // Bytes; 0 or more than getMaxStreamBufferSize is refused with a warning;
  // all ones is accepted and changes nothing. With now false stores it for
  // the next update.
  bool setStreamBufferSize(size_t bytes, bool now);
  size_t getStreamBufferSize() const;
  // The largest stream buffer the engine takes, in bytes.
  static size_t getMaxStreamBufferSize();

  // Any thread.
  PlaybackState getPlaybackState() const { return static_cast<PlaybackState>(playbackState_.load()); }

  // Sound table (any thread; takes the audio lock). Ids are one more than the
  // largest live id, 1 for an empty table.
  bool createSound(const std::string& url, int* id);
  bool deleteSound(int id);
  // Replaces the sound by a new one for url, carrying its queued commands over.
  bool resetSound(int id, const std::string& url, int* newId);
  // The sound stays owned by the interface; valid until deleted.
  bool getSound(int id, VLSound** out);

  // For VLSound.
  VESystem* getSystem() const { return system_.load(); }
  VLMutex* getMutex() const { return mutex_; }
  // The source given to init; null before. Any thread.
  VLStreamSource* getStreamSource() const { return source_.load(); }
  bool allocChannel(int* slot);
  bool freeChannel(int slot);

  // "Audio engine failed : (<code>) <text>", the form of every engine failure
  // in the log.
  static std::string describeResult(VEResult result);

  // True while an open or close callback of this interface runs on an
  // engine thread. After clean such a callback may still hand a file to
  // the source: the session keeps taking tasks until none is left.
  bool hasCallbacksUnderWay() const;

  // The engine's file callbacks (engine threads). Their user data is the
  // interface's stream source.
  static VEResult streamOpen(const char* name, unsigned int* fileSize, void** handle, void** userData);
  static VEResult streamClose(void* handle, void* userData);
  static VEResult asyncStreamRead(VEReadRequest* request, void* userData);

 private:
  // Counts one file callback for as long as it runs.
  class CallbackUnderWay {
   public:
    explicit CallbackUnderWay(VLAudioInterface* audio);
    ~CallbackUnderWay();
    CallbackUnderWay(const CallbackUnderWay&) = delete;
    CallbackUnderWay& operator=(const CallbackUnderWay&) = delete;

   private:
    VLAudioInterface* audio_;
  };

  // An engine set up but not yet in use: its system (owned until installed
  // or discarded), the devices it found and the output it chose.
  struct Engine {
    VESystem* system = nullptr;
    DriverList drivers;
    std::string output;
    int driverIndex = 0;
    size_t streamBufferSize = 0;
  };

  bool openEngine(const std::string& output, size_t streamBufferSize);
  // Sets up an engine for output, blocking up to the outputs' time limits;
  // false, with nothing left to discard, when it cannot. Any thread, no lock.
  bool prepareEngine(const std::string& output, size_t streamBufferSize, Engine* engine) const;
  static void discardEngine(Engine* engine);
  void installEngine(const Engine& engine);
  bool startOutput(const std::string& output, Engine* engine) const;
  // What a look for a device asks for: a kind of output that the automatic
  // output prefers to the one in use with a device now (a sound server that
  // answers, an ALSA device of the list that opens), or the device the user
  // chose, missing when the engine settled.
  struct LookTarget {
    std::vector<VEOutputType> betterKinds;               // in the automatic output's order
    VEOutputType wantedType = VE_OUTPUTTYPE_AUTODETECT;  // automatic: no device of its own missing
    unsigned int wantedKey = 0;

    bool empty() const { return betterKinds.empty() && wantedType == VE_OUTPUTTYPE_AUTODETECT; }
    // Asks with a system of its own (see the .cpp); blocks up to the outputs'
    // time limits. everyKind: every kind, else the sound server's only.
    bool answers(bool everyKind) const;
  };

  void noteSettledOutput();
  LookTarget lookTargetFor(VEOutputType settled) const;
  bool playsDriver(VEOutputType settled, int type, unsigned int key) const;
  bool lookForDevice();
  void closeEngine();
  static bool searchAvailableOutputDrivers(VESystem* system, const std::string& label, int type, DriverList* list);
  static bool useOutputType(VESystem* system, int type, int* driverCount);
  static bool selectOutput(const std::string& id, Engine* engine);
  // Worker, without the audio lock.
  bool switchOutput(const std::string& id);
  VESystem* recoverLostOutput();
  VEResult updatePass(bool* result);
  bool save();
  bool restore();
  void releaseDeferredSounds(bool* result);
  void warnTooManySounds();
  VLSound* findOpeningSound(uint64_t serial) const;
  VLSound* findSoundByHandle(VLFileHandle* handle) const;
  std::string describeSounds(bool withHandles) const;
  void setOutputValue(const std::string& id, int driverIndex);
  // Values lock held.
  bool namesCurrentOutput(const std::string& id) const;
  void giveBackHandles();
  static void registerEngineHandle(VLFileHandle* handle, const VLAudioInterface* owner);
  static bool claimEngineHandle(VLFileHandle* handle);
  static std::vector<VLFileHandle*> claimEngineHandles(const VLAudioInterface* owner);

  VLMutex* mutex_;
  std::string name_;
  std::atomic<VESystem*> system_;
  std::atomic<VLStreamSource*> source_;
  bool initialised_;
  int blockAlign_;

  // Guarded by valuesLock_.
  VLMutex* valuesLock_;
  DriverList outputDrivers_;
  std::string output_;
  int outputDriverIndex_;
  std::string pendingOutput_;
  // What looks for a device ask for; empty while the engine plays on the
  // device asked for.
  LookTarget lookTarget_;
  size_t pendingStreamBufferSize_;
  size_t streamBufferSize_;

  // Guarded by the audio lock.
  std::vector<unsigned char> channels_;
  int playingCount_;
  bool tooManyWarned_;
  std::map<int, VLSound*> sounds_;
  std::vector<VESound*> soundsToRelease_;
  // The output id last asked for (init or setOutput), "0:0" for automatic;
  // unlike the output in use, a fallback to automatic keeps it.
  std::string wantedOutput_;

  // Worker only (update): when to look for a device next (seconds, monotonic),
  // how many looks there were, and the look under way.
  double nextDeviceDetection_;
  unsigned deviceLooks_;
  struct DeviceLook;
  std::shared_ptr<DeviceLook> deviceLook_;
  // True while the engine plays on no sound although another output was asked
  // for: nothing else opened.
  std::atomic<bool> awaitingDevice_;

  std::atomic<int> callbacksUnderWay_;
  std::atomic<int> playbackState_;
};
