#include "VEStream.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "VEDecoder.h"
#include "VESampleRateConverter.h"

namespace {
// How long the thread sleeps between two looks at a pending read's result;
// the system's update also wakes it.
constexpr auto kPollInterval = std::chrono::milliseconds(5);
// How long it rests with nothing to do (the ring full enough, or the source
// decoded to its end): everything that gives it work wakes it, so this is
// only a safety net.
constexpr auto kRestInterval = std::chrono::milliseconds(100);
// Source frames decoded at a time for the converter.
constexpr size_t kConvertFrames = 4096;
}  // namespace

VEStream::VEStream(VEStreamConfig config)
    : config_(std::move(config)), mixRate_(config_.mixRate), capacity_(std::max<size_t>(config_.decodeFrames, 1024)) {
  ring_.resize(capacity_ * 2);
}

VEStream::~VEStream() {
  // The owner joins or detaches the thread before letting go; this is only a
  // guard against terminating the process.
  if (thread_.joinable()) thread_.detach();
}

bool VEStream::start() {
  try {
    std::shared_ptr<VEStream> self = shared_from_this();
    thread_ = std::thread([self] { self->run(); });
  } catch (...) {
    return false;
  }
  return true;
}

void VEStream::launch() {
  std::lock_guard<std::mutex> lock(mutex_);
  launched_ = true;
  wake_.notify_all();
}

// ---------------------------------------------------------------- thread

void VEStream::run() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return launched_ || closing_; });
  }
  if (!openFile()) {
    finish();
    return;
  }
  bool released;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released = released_;
  }
  if (released) {
    closeFile();
    finish();
    return;
  }
  VEResult failure = VE_OK;
  if (!prepareDecoder(&failure)) {
    bool closing;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing = closing_;
      released = released_;
    }
    if (!closing) {
      // The close callback runs before the failure becomes visible, so the
      // owner learns what it needs about the file before it sees the error.
      closeFile();
      if (!released) fail(failure);
    }
    finish();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_ = Phase::Ready;
  }
  decodeLoop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) {
      finished_ = true;
      idleSeen_.notify_all();
      return;
    }
  }
  closeFile();
  finish();
}

bool VEStream::openFile() {
  if (!enterBlockingCallback()) return false;
  unsigned int size = 0;
  void* handle = nullptr;
  void* userData = config_.userData;
  VEResult result = config_.open(config_.name.c_str(), &size, &handle, &userData);
  leaveCallback();

  std::lock_guard<std::mutex> lock(mutex_);
  // A system that closed meanwhile left this thread alone and makes no more
  // callbacks: a handle opened this late is not closed.
  if (closing_) return false;
  if (result != VE_OK) {
    phase_ = Phase::Failed;
    failure_ = (result == VE_ERR_FILE_NOTFOUND || result == VE_ERR_FORMAT) ? result : VE_ERR_INTERNAL;
    return false;
  }
  fileOpen_ = true;
  handle_ = handle;
  userData_ = userData;
  fileSize_ = size;
  return true;
}

bool VEStream::prepareDecoder(VEResult* failure) {
  reader_ = std::make_unique<VEFileReader>(this, config_.read, handle_, userData_, fileSize_, config_.blockAlign,
                                           config_.bufferSize);
  decoder_ = VEDecoder::open(reader_.get(), failure);
  if (!decoder_) return false;
  if (decoder_->channels() > config_.maxInputChannels) {
    *failure = VE_ERR_FORMAT;
    return false;
  }
  int rate = config_.followSource ? decoder_->sampleRate() : config_.mixRate;
  if (!useRate(rate)) {
    *failure = VE_ERR_INTERNAL;
    return false;
  }
  // The ring holds as long as asked for at the output's rate, also when the
  // stream mixes at a higher one.
  size_t capacity = std::max<size_t>(
      size_t(uint64_t(config_.decodeFrames) * uint64_t(rate) / uint64_t(std::max(config_.mixRate, 1))), 1024);
  std::lock_guard<std::mutex> lock(mutex_);
  if (capacity > capacity_) {
    capacity_ = capacity;
    ring_.resize(capacity_ * 2);
  }
  mixRate_ = rate;
  sourceRate_ = decoder_->sampleRate();
  lengthFrames_ = decoder_->lengthFrames();
  return true;
}

bool VEStream::useRate(int rate) {
  if (rate == decoder_->sampleRate()) {
    converter_.reset();
    return true;
  }
  if (converter_ && converter_->toRate() == rate) {
    converter_->reset();
    return true;
  }
  converter_ = std::make_unique<VESampleRateConverter>(config_.resampler, decoder_->sampleRate(), rate);
  input_.resize(kConvertFrames * 2);
  return converter_->valid();
}

void VEStream::decodeLoop() {
  for (;;) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping()) return;
    if (seekPending_) {
      seekPending_ = false;
      uint64_t target = seekSourceFrame_;
      uint64_t generation = seekGeneration_;
      int rate = mixRate_;
      lock.unlock();
      seekTo(target, generation, rate);
      continue;
    }
    if (sourceEnded_) {
      if (!decodedToEnd_) {
        decodedToEnd_ = true;
        seeking_ = false;
        // What was decoded is the length, whatever the header promised.
        lengthFrames_ = seekBaseSource_ + sourceDecoded_;
      }
      waitIdle(lock, true);
      continue;
    }
    // Refill in long runs: once topped up, wait until a quarter of the ring
    // is free, unless a settle waits for the thread to top it up now.
    bool settleWaits = kick_ != idleMark_;
    if (ringFree() == 0 || (ringFree() < refillFrames() && !settleWaits)) {
      waitIdle(lock, true);
      continue;
    }
    uint64_t generation = seekGeneration_;
    // The free space after the ring's tail, up to where it wraps: only this
    // thread writes there, and the mixer reads it only once counted in.
    size_t tail = (ringHead_ + ringCount_) % capacity_;
    size_t span = std::min(ringFree(), capacity_ - tail);
    lock.unlock();

    bool end = false;
    size_t frames = fill(ring_.data() + tail * 2, span, &end);
    lock.lock();
    if (stopping()) return;
    if (generation != seekGeneration_) continue;  // stale: a seek came in meanwhile
    ringCount_ += frames;
    if (frames > 0) seeking_ = false;
    if (end) sourceEnded_ = true;
  }
}

size_t VEStream::fill(int16_t* out, size_t span, bool* end) {
  if (!converter_) {
    // A failed decode (a read failed) ends the stream where it is.
    long frames = decodeStereo(out, span);
    *end = frames <= 0;
    return frames > 0 ? static_cast<size_t>(frames) : 0;
  }
  if (inputOffset_ == inputFrames_ && !inputEnded_) {
    long frames = decodeStereo(input_.data(), kConvertFrames);
    inputOffset_ = 0;
    inputFrames_ = frames > 0 ? static_cast<size_t>(frames) : 0;
    inputEnded_ = frames <= 0;
  }
  bool draining = inputOffset_ == inputFrames_;
  size_t used = 0;
  long written = converter_->process(draining ? nullptr : input_.data() + inputOffset_ * 2, inputFrames_ - inputOffset_,
                                     &used, out, span);
  inputOffset_ += used;
  *end = written < 0 || (draining && written == 0);
  return written > 0 ? static_cast<size_t>(written) : 0;
}

long VEStream::decodeStereo(int16_t* out, size_t maxFrames) {
  long frames = decoder_->decode(out, maxFrames);
  if (frames <= 0) return frames;
  sourceDecoded_ += static_cast<uint64_t>(frames);
  if (decoder_->channels() == 1) {
    for (long i = frames - 1; i >= 0; --i) {
      out[size_t(i) * 2 + 1] = out[size_t(i)];
      out[size_t(i) * 2] = out[size_t(i)];
    }
  }
  return frames;
}

void VEStream::seekTo(uint64_t sourceFrame, uint64_t generation, int rate) {
  uint64_t landed = 0;
  bool done = decoder_->seek(sourceFrame, &landed) && useRate(rate);
  inputOffset_ = 0;
  inputFrames_ = 0;
  inputEnded_ = false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping() || generation != seekGeneration_) return;
  sourceDecoded_ = 0;
  if (done) {
    seekBaseSource_ = landed;
    sourceEnded_ = false;
  } else {
    // Nothing can be decoded from there: the stream ends at the target.
    seekBaseSource_ = sourceFrame;
    sourceEnded_ = true;
  }
}

void VEStream::closeFile() {
  // Never close while a read on the handle waits for its result.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closing_) return;
    }
    if (!reader_ || !reader_->hasOutstanding()) break;
    std::unique_lock<std::mutex> lock(mutex_);
    if (closing_) return;
    waitIdle(lock);
  }
  if (!enterBlockingCallback()) return;
  config_.close(handle_, userData_);
  leaveCallback();
  std::lock_guard<std::mutex> lock(mutex_);
  fileOpen_ = false;
}

void VEStream::fail(VEResult failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  phase_ = Phase::Failed;
  failure_ = failure;
}

void VEStream::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  idleSeen_.notify_all();
}

void VEStream::waitIdle(std::unique_lock<std::mutex>& lock, bool rest) {
  idleMark_ = kick_;
  idleSeen_.notify_all();
  resting_ = rest;
  wake_.wait_for(lock, rest ? kRestInterval : kPollInterval);
  resting_ = false;
}

bool VEStream::enterCallback() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return false;
  inCallback_ = true;
  return true;
}

bool VEStream::enterBlockingCallback() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return false;
  inCallback_ = true;
  inBlockingCallback_ = true;
  idleSeen_.notify_all();
  return true;
}

void VEStream::leaveCallback() {
  std::lock_guard<std::mutex> lock(mutex_);
  inCallback_ = false;
  inBlockingCallback_ = false;
}

bool VEStream::idle() {
  std::unique_lock<std::mutex> lock(mutex_);
  // A seek asked for meanwhile abandons the wait: its data may never come.
  if (stopping() || seekPending_) return false;
  waitingForData_ = true;
  waitIdle(lock);
  waitingForData_ = false;
  return !stopping() && !seekPending_;
}

int VEStream::urgency() {
  std::lock_guard<std::mutex> lock(mutex_);
  return 100 - static_cast<int>(ringCount_ * 100 / capacity_);
}

// ---------------------------------------------------------------- API side

VEResult VEStream::openState(VEOpenState* state, unsigned int* percent, bool* starving, bool* diskBusy) {
  std::lock_guard<std::mutex> lock(mutex_);
  VEOpenState s = VE_OPENSTATE_LOADING;
  if (phase_ == Phase::Failed) s = VE_OPENSTATE_ERROR;
  if (phase_ == Phase::Ready) s = seeking_ ? VE_OPENSTATE_SETPOSITION : VE_OPENSTATE_READY;
  if (state) *state = s;
  if (percent) *percent = static_cast<unsigned int>(ringCount_ * 100 / capacity_);
  if (starving) {
    *starving = phase_ == Phase::Ready && ringCount_ == 0 && !decodedToEnd_ && waitingForData_;
  }
  if (diskBusy) *diskBusy = waitingForData_;
  return phase_ == Phase::Failed ? failure_ : VE_OK;
}

uint64_t VEStream::lengthMs() const {
  return sourceRate_ > 0 ? lengthFrames_ * 1000 / uint64_t(sourceRate_) : 0;
}

VEResult VEStream::length(unsigned int* value, VETimeUnit unit) {
  if (!value) return VE_ERR_INVALID_PARAM;
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ == Phase::Loading) return VE_ERR_NOTREADY;
  if (phase_ == Phase::Failed) return failure_;
  switch (unit) {
    case VE_TIMEUNIT_MS: *value = static_cast<unsigned int>(lengthMs()); return VE_OK;
    case VE_TIMEUNIT_PCM: *value = static_cast<unsigned int>(lengthFrames_); return VE_OK;
    case VE_TIMEUNIT_RAWBYTES: *value = fileSize_; return VE_OK;
    default: return VE_ERR_UNSUPPORTED;
  }
}

VEResult VEStream::playable() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ == Phase::Loading) return VE_ERR_NOTREADY;
  if (phase_ == Phase::Failed) return failure_;
  return VE_OK;
}

VEResult VEStream::position(unsigned int* value, VETimeUnit unit) {
  if (!value) return VE_ERR_INVALID_PARAM;
  if (unit != VE_TIMEUNIT_MS && unit != VE_TIMEUNIT_PCM) return VE_ERR_UNSUPPORTED;
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ == Phase::Loading) return VE_ERR_NOTREADY;
  if (phase_ == Phase::Failed) return failure_;
  if (seeking_) {
    *value = unit == VE_TIMEUNIT_MS ? seekTargetMs_ : static_cast<unsigned int>(seekSourceFrame_);
    return VE_OK;
  }
  bool atEnd = decodedToEnd_ && ringCount_ == 0;
  uint64_t length = unit == VE_TIMEUNIT_MS ? lengthMs() : lengthFrames_;
  uint64_t position;
  if (atEnd) {
    position = length;
  } else {
    uint64_t scale = unit == VE_TIMEUNIT_MS ? 1000 : uint64_t(sourceRate_);
    position = playFrame_ * scale / uint64_t(mixRate_);
    // Below the length until the last sample has been mixed.
    if (length > 0) position = std::min(position, length - 1);
  }
  *value = static_cast<unsigned int>(position);
  return VE_OK;
}

VEResult VEStream::setPosition(unsigned int value, VETimeUnit unit) {
  if (unit != VE_TIMEUNIT_MS && unit != VE_TIMEUNIT_PCM) return VE_ERR_UNSUPPORTED;
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ == Phase::Loading) return VE_ERR_NOTREADY;
  if (phase_ == Phase::Failed) return failure_;
  uint64_t rate = uint64_t(sourceRate_);
  uint64_t sourceFrame = unit == VE_TIMEUNIT_MS ? uint64_t(value) * rate / 1000 : value;
  uint64_t ms = unit == VE_TIMEUNIT_MS ? value : uint64_t(value) * 1000 / rate;
  if (lengthFrames_ > 0) {
    bool past = unit == VE_TIMEUNIT_MS ? ms > lengthMs() : sourceFrame > lengthFrames_;
    if (past) return VE_ERR_INVALID_POSITION;
  }
  beginSeekLocked(sourceFrame, ms);
  return VE_OK;
}

void VEStream::beginSeekLocked(uint64_t sourceFrame, uint64_t ms) {
  ++seekGeneration_;
  seekPending_ = true;
  seekSourceFrame_ = sourceFrame;
  seekTargetMs_ = static_cast<unsigned int>(ms);
  seeking_ = true;
  ringHead_ = 0;
  ringCount_ = 0;
  decodedToEnd_ = false;
  playFrame_ = sourceFrame * uint64_t(mixRate_) / uint64_t(sourceRate_);
  wake_.notify_all();
}

int VEStream::sourceRate() {
  std::lock_guard<std::mutex> lock(mutex_);
  return phase_ == Phase::Ready ? sourceRate_ : 0;
}

void VEStream::setMixRate(int rate) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ != Phase::Ready || rate == mixRate_ || rate <= 0) return;
  uint64_t sourceFrame = seeking_ ? seekSourceFrame_ : playFrame_ * uint64_t(sourceRate_) / uint64_t(mixRate_);
  uint64_t ms = seeking_ ? seekTargetMs_ : sourceFrame * 1000 / uint64_t(sourceRate_);
  mixRate_ = rate;
  beginSeekLocked(sourceFrame, ms);
}

void VEStream::rewind() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (phase_ != Phase::Ready || playFrame_ == 0) return;
  }
  setPosition(0, VE_TIMEUNIT_PCM);
}

void VEStream::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  // A resting thread waits for no read.
  if (!resting_) wake_.notify_all();
}

void VEStream::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  wake_.notify_all();
}

void VEStream::settle(size_t frames) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (finished_ || !thread_.joinable()) return;
  // Enough decoded for the mix: the outcome cannot depend on the thread.
  if (phase_ == Phase::Ready && !seekPending_ && (ringCount_ >= frames || decodedToEnd_)) return;
  uint64_t kick = ++kick_;
  wake_.notify_all();
  idleSeen_.wait(lock, [&] { return idleMark_ >= kick || inBlockingCallback_ || finished_; });
}

bool VEStream::finished() {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

void VEStream::join() {
  if (thread_.joinable()) thread_.join();
}

void VEStream::closeNow() {
  bool inCallback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    inCallback = inCallback_;
    wake_.notify_all();
    idleSeen_.notify_all();
  }
  if (thread_.joinable()) {
    if (inCallback) {
      // Joining could wait for the caller's own thread (an open waiting for
      // the worker that is closing us): leave it to finish alone.
      thread_.detach();
      return;
    }
    thread_.join();
  }
  if (!fileOpen_) return;
  fileOpen_ = false;
  if (reader_ && reader_->hasOutstanding()) {
    reader_->abandonOutstanding();
    return;
  }
  config_.close(handle_, userData_);
}

// ---------------------------------------------------------------- mixer side

void VEStream::peek(uint64_t* frames, bool* last) {
  std::lock_guard<std::mutex> lock(mutex_);
  *frames = ringCount_;
  *last = decodedToEnd_;
}

template <typename F>
size_t VEStream::consume(size_t frameCount, F take) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = std::min(frameCount, ringCount_);
  for (size_t done = 0; done < count;) {
    size_t span = std::min(count - done, capacity_ - ringHead_);
    take(ring_.data() + ringHead_ * 2, done, span);
    done += span;
    ringHead_ = (ringHead_ + span) % capacity_;
  }
  ringCount_ -= count;
  playFrame_ += count;
  if (count > 0 && ringFree() >= refillFrames()) wake_.notify_one();
  return count;
}

size_t VEStream::mixInto(int32_t* mix, size_t frameCount, float gain) {
  return consume(frameCount, [&](const int16_t* in, size_t done, size_t span) {
    int32_t* out = mix + done * 2;
    if (gain == 1.0f) {
      // Whole chunks of a fixed size vectorise at -O2.
      size_t count = span * 2, i = 0;
      for (; i + 16 <= count; i += 16) {
        for (size_t k = 0; k < 16; ++k) out[i + k] += in[i + k];
      }
      for (; i < count; ++i) out[i] += in[i];
    } else if (gain > 0.0f) {
      for (size_t i = 0; i < span * 2; ++i) out[i] += static_cast<int32_t>(lrintf(in[i] * gain));
    }
  });
}

size_t VEStream::copyInto(int16_t* out, size_t frameCount) {
  return consume(frameCount,
                 [&](const int16_t* in, size_t done, size_t span) { std::copy_n(in, span * 2, out + done * 2); });
}

bool VEStream::ended() {
  std::lock_guard<std::mutex> lock(mutex_);
  return decodedToEnd_ && ringCount_ == 0;
}
