#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "VLRunnerObject.h"

// The copying of a repository's files to a directory on another volume, on a
// thread of its own ("VLRepositoryMove"), so that the worker thread, and
// playback with it, goes on meanwhile. Nothing is deleted here: the old files
// stay the record until the repository switches over, after isDone. Each copy
// is on the disk when it is reported done (VLFileHelper::copyFile flushes).
//
// Ownership and threads: the repository makes, starts, polls and deletes it on
// the worker thread; the copying runs on the move's own thread. The files
// being copied must not change meanwhile (the repository runs no transfer).
class VLRepositoryMove : public VLRunnerObject {
 public:
  struct Copy {
    std::string from;
    std::string to;
  };

  VLRepositoryMove(const std::string& directory, const std::vector<Copy>& copies);
  // Stops the copying after the file in hand and joins the thread.
  ~VLRepositoryMove() override;

  // Starts the thread; false when it cannot be started.
  bool start();
  // Every copy was made, or one failed (see hasFailed). Any thread.
  bool isDone() const { return done_; }
  bool hasFailed() const { return failed_; }
  const std::string& getDirectory() const { return directory_; }
  // Stops the copying, joins the thread and removes every copy made. Worker.
  void abandon();

  // One pass of the move's thread: copies one file, or waits when done.
  void executeRunLoop() override;

 private:
  void join();

  std::string directory_;
  std::vector<Copy> copies_;
  size_t next_;  // the move's thread only, until done
  std::atomic<bool> done_;
  std::atomic<bool> failed_;
  bool joined_;
};
