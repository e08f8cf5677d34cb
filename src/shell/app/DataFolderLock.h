// A kernel lock (flock) on a file in the application's data folder that tells
// whether a client works in that folder. Every client holds it shared for its
// whole run; "--remove-folder" takes it exclusive, so it never removes the
// indexes and stores under a running client, also when it cannot ask the
// session bus (a script, an ssh login). The kernel ends the lock with the
// process that holds it, a client killed with SIGKILL among them: a lock left
// behind never blocks. The descriptor is not inherited by programs the client
// starts (its web processes), so it goes with the client alone.
//
// Threads: main thread, in the process entry.
#pragma once

#include <string>

class DataFolderLock {
 public:
  // The lock's file in the data folder.
  static constexpr const char* kFileName = ".running";

  DataFolderLock() = default;
  // Gives the lock back.
  ~DataFolderLock();
  DataFolderLock(const DataFolderLock&) = delete;
  DataFolderLock& operator=(const DataFolderLock&) = delete;

  // For a client: holds the folder's lock shared until destroyed, making the
  // folder (0700) when missing, and waiting for a removal under way to end
  // (then on the folder made anew). False, with a trace, when the file
  // cannot be opened or locked: the client runs on without it.
  bool holdShared(const std::string& folder);

  enum class Exclusive { Taken, HeldByAClient, Unknown };
  // For the removal: takes the lock exclusive without waiting. HeldByAClient
  // while a client holds it; Unknown (why in `why`) when the file cannot be
  // opened or locked for another reason.
  Exclusive takeExclusive(const std::string& folder, std::string& why);

 private:
  // Opens the lock's file in the folder; false with why.
  bool open(const std::string& folder, std::string& why);
  // Locks the open file shared, waiting (traced) for a removal under way.
  bool lockShared(const std::string& folder, std::string& why);
  void close();

  int descriptor_ = -1;
};
