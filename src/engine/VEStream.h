// One stream: its engine thread, its file reader, its decoder and its buffer
// (the ring) of decoded sound at the stream's mix rate. The decoder writes
// straight into the ring; only a stream whose mix rate differs from its
// source's passes through a converter on the way.
//
// The thread calls the open callback, reads the header, then keeps the decode
// buffer full, and seeks when asked. It refills in long runs: once the ring is
// full it rests until a quarter of it has been played (or a non-real-time
// update needs more), so it wakes a few times a second rather than for every
// block the mixer takes. A released stream finishes on its own:
// it waits for its reads' results and calls the close callback. A closing
// system stops it instead (beginClose) and closes the handle itself.
//
// Locking: mutex_ guards everything shared with the mixer and the API; the
// thread never holds it while calling a callback or decoding, and never takes
// the mixer's lock. Lock order: mixer, then stream.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VEFileReader.h"
#include "VETypes.h"

class VEDecoder;
class VESampleRateConverter;

struct VEStreamConfig {
  std::string name;
  VEFileOpenCallback open = nullptr;
  VEFileCloseCallback close = nullptr;
  VEFileAsyncReadCallback read = nullptr;
  void* userData = nullptr;  // what the open callback finds in its *userData
  unsigned int blockAlign = 1;
  unsigned int bufferSize = 16384;
  unsigned int decodeFrames = 17640;  // capacity of the decode buffer
  int mixRate = 44100;                // the output's rate; decodeFrames counts at it
  bool followSource = false;          // mix at the source's own rate instead
  int maxInputChannels = 2;
  VEResampler resampler = VE_RESAMPLER_LINEAR;
};

class VEStream : public VEFileReaderHost, public std::enable_shared_from_this<VEStream> {
 public:
  explicit VEStream(VEStreamConfig config);
  ~VEStream() override;

  // Starts the thread; it waits for launch() before it calls the open callback.
  bool start();
  void launch();

  // --- API side (caller's thread) ---
  VEResult openState(VEOpenState* state, unsigned int* percent, bool* starving, bool* diskBusy);
  VEResult length(unsigned int* value, VETimeUnit unit);
  // VE_OK when it can play (ready, or seeking); else NOTREADY or the failure.
  VEResult playable();
  VEResult position(unsigned int* value, VETimeUnit unit);
  VEResult setPosition(unsigned int value, VETimeUnit unit);
  // Plays from the start again: a seek to 0 unless nothing was played yet.
  void rewind();
  // The source's rate once ready, else 0.
  int sourceRate();
  // Mixes at rate from the current position on (a seek to where it is when
  // the rate changes): converted unless it is the source's rate. Ready only.
  void setMixRate(int rate);
  // Wakes the thread to look at its pending read now.
  void wake();
  // Lets the stream finish by itself (see above).
  void release();
  // Brings the stream up to date for a non-real-time mix of frames frames:
  // unless that many are decoded already, waits until the thread has nothing
  // left to do (or is inside the open or close callback).
  void settle(size_t frames);
  // True once the thread has returned; join() then takes it.
  bool finished();
  void join();
  // Stops the thread for a closing system. Returns false, leaving the
  // thread to finish alone (detached), when it is inside a callback;
  // otherwise joins it and, when the file is open and no read waits, calls
  // the close callback on this thread.
  void closeNow();

  // --- mixer side ---
  // Decoded frames ready, and whether they are the last of the stream.
  void peek(uint64_t* frames, bool* last);
  // Adds up to frameCount frames to mix (interleaved stereo) and consumes
  // them; returns the number consumed.
  size_t mixInto(int32_t* mix, size_t frameCount, float gain);
  // Copies up to frameCount frames to out as they are (one stream at unit
  // gain) and consumes them; returns the number consumed.
  size_t copyInto(int16_t* out, size_t frameCount);
  // Every frame of the stream has been consumed.
  bool ended();

  // --- VEFileReaderHost, on the thread ---
  bool enterCallback() override;
  void leaveCallback() override;
  bool idle() override;
  int urgency() override;

 private:
  enum class Phase { Loading, Ready, Failed };

  void run();
  bool openFile();
  bool prepareDecoder(VEResult* failure);
  void decodeLoop();
  // Decodes, and converts where needed, up to span frames into out (free
  // space in the ring); *end once the stream has no more.
  size_t fill(int16_t* out, size_t span, bool* end);
  // Decodes up to maxFrames source frames into out as stereo.
  long decodeStereo(int16_t* out, size_t maxFrames);
  // Makes the converter from the source's rate to rate, if they differ.
  bool useRate(int rate);
  void seekTo(uint64_t sourceFrame, uint64_t generation, int rate);
  // Starts a seek to sourceFrame, reported as ms until it lands.
  void beginSeekLocked(uint64_t sourceFrame, uint64_t ms);
  // Consumes up to frameCount frames from the ring's head, calling
  // take(frames, framesDone, span) for each contiguous span.
  template <typename F>
  size_t consume(size_t frameCount, F take);
  void closeFile();
  void fail(VEResult failure);
  void finish();
  // Marks the thread idle for settle() and waits until woken, or until the
  // poll for a pending read's result is due (rest: the longer safety net of
  // a thread with nothing to do).
  void waitIdle(std::unique_lock<std::mutex>& lock, bool rest = false);
  bool enterBlockingCallback();
  bool stopping() const { return released_ || closing_; }
  size_t ringFree() const { return capacity_ - ringCount_; }
  // Free frames at which the thread refills the ring.
  size_t refillFrames() const { return capacity_ / 4; }
  uint64_t lengthMs() const;

  const VEStreamConfig config_;
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable wake_;      // wakes the thread
  std::condition_variable idleSeen_;  // wakes settle()
  bool launched_ = false;
  bool released_ = false;
  bool closing_ = false;
  bool finished_ = false;
  bool joined_ = false;
  bool inCallback_ = false;
  bool inBlockingCallback_ = true;  // until the open callback has returned
  uint64_t kick_ = 0;
  uint64_t idleMark_ = 0;
  bool waitingForData_ = false;
  bool resting_ = false;  // waits with nothing to do, see waitIdle

  Phase phase_ = Phase::Loading;
  VEResult failure_ = VE_OK;

  // The open file (thread only, and the closing thread after the join).
  bool fileOpen_ = false;
  void* handle_ = nullptr;
  void* userData_ = nullptr;
  unsigned int fileSize_ = 0;
  std::unique_ptr<VEFileReader> reader_;
  std::unique_ptr<VEDecoder> decoder_;
  std::unique_ptr<VESampleRateConverter> converter_;
  // Decoded frames waiting for the converter (thread only).
  std::vector<int16_t> input_;
  size_t inputOffset_ = 0;
  size_t inputFrames_ = 0;
  bool inputEnded_ = false;     // the decoder has no more frames
  bool sourceEnded_ = false;    // no more frames for the ring
  uint64_t sourceDecoded_ = 0;  // source frames since the last seek (thread only)

  // Timeline, under mutex_.
  int sourceRate_ = 0;
  int mixRate_;                // the rate of the ring's frames
  uint64_t lengthFrames_ = 0;  // at the source rate
  std::vector<int16_t> ring_;
  size_t capacity_;
  size_t ringHead_ = 0;
  size_t ringCount_ = 0;
  uint64_t playFrame_ = 0;     // mix-rate frame at the ring's head
  bool decodedToEnd_ = false;  // the ring holds the last frames
  bool seeking_ = false;       // a seek waits for its first frames
  bool seekPending_ = false;   // the thread has not taken the seek yet
  uint64_t seekSourceFrame_ = 0;
  uint64_t seekGeneration_ = 0;
  uint64_t seekBaseSource_ = 0;  // source frame the last seek landed on
  unsigned int seekTargetMs_ = 0;
};
