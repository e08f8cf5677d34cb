// Byte access to one stream's file for the decoders, over the asynchronous
// read callback.
//
// Decoders read as if from a blocking file; each read that misses the buffer
// window issues an aligned request through the read callback and waits for
// its result (idling through the host, which can abandon the wait). Reads
// ahead of the decoder keep the window filled. Used only on the stream's
// thread, except hasOutstanding/abandonOutstanding, which the closing thread
// calls once the stream's thread has stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "VETypes.h"

// What the reader needs from the stream that owns it.
class VEFileReaderHost {
 public:
  virtual ~VEFileReaderHost() = default;
  // False when the system is closing: no callback may start.
  virtual bool enterCallback() = 0;
  virtual void leaveCallback() = 0;
  // Idles until woken or a few milliseconds have passed; false when the
  // stream must stop (released or closing).
  virtual bool idle() = 0;
  // How urgently the decoded sound is needed, 0..100, for read priorities.
  virtual int urgency() = 0;
};

class VEFileReader {
 public:
  struct Request {
    VEReadRequest request;
    std::vector<uint8_t> data;
  };

  VEFileReader(VEFileReaderHost* host, VEFileAsyncReadCallback readCallback, void* handle, void* userData,
               unsigned int fileSize, unsigned int blockAlign, unsigned int bufferSize);
  ~VEFileReader();

  // Copies up to size bytes at the current position into destination,
  // waiting for data as needed, and moves the position on. Answers the count
  // (less than size only at the end of the data), 0 at the end of the data,
  // -1 when the wait was abandoned.
  long read(void* destination, size_t size);
  // Moves the position; no I/O happens until the next read.
  void seek(uint64_t position) { position_ = position; }
  uint64_t tell() const { return position_; }
  unsigned int fileSize() const { return fileSize_; }
  // True once the position is at or past the end of the data.
  bool atEnd() const { return position_ >= endOfData_; }
  // The failure that ended the data early (VE_ERR_INTERNAL), or VE_OK.
  VEResult failure() const { return failure_; }
  // True while a read issued by this reader is pending.
  bool readPending() const { return live_ != nullptr; }

  // Takes in the results written so far; true while any request still waits.
  bool hasOutstanding();
  // Hands every request still waiting to the process-wide keeper, which
  // frees each once its result is written.
  void abandonOutstanding();

  // Frees the kept requests whose result has been written. Thread-safe.
  static void pruneOrphans();
  // Requests kept past their stream, waiting for a result.
  static size_t orphanCount();

 private:
  bool inWindow(uint64_t offset) const { return offset >= windowStart_ && offset < windowStart_ + window_.size(); }
  uint64_t windowEnd() const { return windowStart_ + window_.size(); }
  // 1: a read was issued; 0: nothing to read (or it failed at once); -1: closing.
  int issue(uint64_t offset, int priority);
  bool collectLive();
  void takeResult(std::unique_ptr<Request> request);
  void prefetch();
  void abandonLive();

  VEFileReaderHost* host_;
  VEFileAsyncReadCallback readCallback_;
  void* handle_;
  void* userData_;
  unsigned int fileSize_;
  unsigned int blockAlign_;
  unsigned int bufferSize_;

  uint64_t position_ = 0;
  uint64_t endOfData_;
  VEResult failure_ = VE_OK;
  uint64_t windowStart_ = 0;
  std::vector<uint8_t> window_;
  std::unique_ptr<Request> live_;                    // the read the decoder wants next
  std::vector<std::unique_ptr<Request>> abandoned_;  // reads no longer wanted, still pending
};
