#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

class VLAudioInterface;
class VLFileHandle;
struct VEReadRequest;

// Where an audio interface's streams are read from. The engine's file
// callbacks and the sounds reach the files only through it, so the audio code
// depends on nothing above it; VLPlayer is the source of the session's
// interface. Given to VLAudioInterface::init and not owned by the interface:
// the source outlives every interface it serves.
class VLStreamSource {
 public:
  virtual ~VLStreamSource() {}

  // Engine threads (open callback). Blocks until the open is served: on
  // success a new handle (owned by the caller until it hands it back through
  // streamClose), the file's size and its provider data; on failure null,
  // size 0 and the provider data of the file reached (empty when none).
  // When `wanted` turns false while the open waits (its sound was let go),
  // the open is abandoned: its file is closed and it fails soon after.
  virtual VLFileHandle* streamOpen(const std::string& url, size_t* fileSize, std::string* data,
                                   std::shared_ptr<const std::atomic<bool>> wanted = nullptr) = 0;

  // Engine threads (read callback). Queues the read; bytesRead and then the
  // result are written into the request later. True when queued.
  virtual bool asyncStreamRead(VEReadRequest* request) = 0;

  // Engine threads (close callback) and the thread that closes an engine.
  // Queues the end of a stream opened by streamOpen. False when the source
  // serves no streams any more: the caller must not use the handle again.
  virtual bool streamClose(VLFileHandle* handle) = 0;

  // Any thread. Ends the reads of handle still pending when it is served, as
  // failed. False when the source serves no streams any more.
  virtual bool asyncStreamCancel(VLFileHandle* handle) = 0;

  // Any thread. The interface the source currently serves, kept alive for as
  // long as the caller holds the pointer: an engine callback may still run
  // after the source dropped it. Null when there is none.
  virtual std::shared_ptr<VLAudioInterface> holdAudioInterface() const = 0;

  // Worker thread (a sound's update). Whether a read of the open handle
  // failed because its file's missing bytes will not come.
  virtual bool hasFailedReads(const VLFileHandle* handle) const = 0;

  // Worker thread (a sound's update). The engine refused the file as no
  // audio it can play: the source may discard its copy so that the next play
  // fetches it again.
  virtual void discardUnplayable(const VLFileHandle& handle) = 0;

  // Any thread. Ends the worker's current or next wait, so that its next
  // pass comes at once.
  virtual void wake() = 0;
};
