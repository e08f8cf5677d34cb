// The standard error of the application and of the processes it starts
// (WebKit's web processes inherit it) goes to one file in the log folder,
// rolled as the core log is: a write that would take the file past its cap
// first makes it the backup (".1", replacing the one before) and starts a new
// file, so neither passes the cap by more than one read of the pipe (64 KiB).
// A file already past its cap at start is rolled at once.
//
// What is written goes through a pipe to a small process of ours that writes
// the file: it outlives a crash of the application, so that what a dying
// process writes is kept, and ends once the last writer has gone.
//
// Threads: start runs once, first thing in main, before other threads exist.
#pragma once

#include <cstddef>
#include <string>

class StandardErrorLog {
 public:
  static constexpr size_t kMaxFileBytes = 1000000;

  StandardErrorLog() = delete;

  // Sends standard error to the file at `path`. False, with standard error
  // appending to the file directly (and the file rolled when past its cap),
  // when the pipe or the writing process cannot be made; false and standard
  // error unchanged when the file cannot be opened either.
  static bool start(const std::string& path, size_t maxFileBytes = kMaxFileBytes);
};
