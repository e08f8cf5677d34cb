#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "VLRunnerObject.h"

class VLMutex;
class VLWakeEvent;

// The files of a repository's deleted records, removed on a thread of its own
// ("VLRepositoryTrash"). Removing a file waits for the disk to free its blocks
// (on a discarding mount tens of milliseconds for one file), so the worker
// only renames each file to its trash name (a directory update, nothing
// freed) and this thread removes it. A trash name is the file's name with
// ".deleted" appended; no live file bears one, so the leftovers of a process
// killed meanwhile are found and removed at the next start.
//
// Accounting: the bytes handed with each put stay pending until every file of
// that put is removed, so that the repository counts them as stored until the
// volume has them back.
//
// Ownership and threads: the repository owns it and calls put, putLeftovers
// and finish on the worker; getPendingBytes and isEmpty may be called from any
// thread. The thread starts with the first put and ends in finish.
class VLRepositoryTrash : public VLRunnerObject {
 public:
  VLRepositoryTrash();
  // Finishes.
  ~VLRepositoryTrash() override;

  // Whether a folder entry is a trash name: a name the repository makes
  // (32 lowercase hex digits, or that with ".part") followed by ".deleted".
  static bool isTrashName(std::string_view entry);

  // Renames each existing file of paths (in that order) to its trash name
  // and queues it; bytes count as pending until the queued files are gone.
  // A file that cannot be renamed (missing, or a folder that refuses) is
  // removed at once on the calling thread, as before.
  void put(const std::vector<std::string>& paths, uint64_t bytes);
  // Queues files already bearing trash names (found at start-up); they
  // count no bytes.
  void putLeftovers(std::vector<std::string> paths);
  // Bytes of queued files not yet removed. Any thread.
  uint64_t getPendingBytes() const { return pendingBytes_; }
  // Nothing is queued or being removed. Any thread.
  bool isEmpty() const { return pendingPuts_ == 0; }
  // Stops the thread after the file in hand and leaves what is still queued
  // under its trash name, for the next start over the folder to remove: a
  // repository that closes (a switch of user, the end of the program) never
  // waits for the disk, however many files a clear left. The trash may be
  // used again.
  void finish();

  // One pass of the thread: removes the next queued files, or waits.
  void executeRunLoop() override;
  // Sets the stop flag and wakes the thread.
  void stop() override;

 private:
  struct Put {
    std::vector<std::string> paths;
    uint64_t bytes;
  };
  bool take(Put* put);
  // Removes the put's files; a stoppable removal ends at the stop flag.
  void removeAll(const Put& put, bool stoppable);
  void queue(Put put);

  std::unique_ptr<VLMutex> mutex_;  // guards queue_
  std::unique_ptr<VLWakeEvent> wake_;
  std::deque<Put> queue_;
  std::atomic<uint64_t> pendingBytes_;
  std::atomic<size_t> pendingPuts_;  // queued plus the one in hand
  bool running_;                     // the thread was started and not joined
};
