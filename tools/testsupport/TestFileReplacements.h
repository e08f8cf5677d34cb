// Counts how often a file is replaced whole in its folder: moved there under
// its name (a temporary file renamed over the old one, as atomic writes do)
// or written there and closed. Reads the kernel's inotify events of the
// folder, which must exist when the counter is made; nothing is missed
// between two calls.
//
// Threads: one thread.
#pragma once

#include <cstddef>
#include <string>

class TestFileReplacements {
 public:
  TestFileReplacements(const std::string& folder, const std::string& name);
  ~TestFileReplacements();
  TestFileReplacements(const TestFileReplacements&) = delete;
  TestFileReplacements& operator=(const TestFileReplacements&) = delete;

  // False when the folder cannot be watched.
  bool watching() const { return watch_ >= 0; }
  // The replacements so far, since the counter was made.
  unsigned count();
  // The bytes those replacements wrote: the file's size, as it is when the
  // count sees each one.
  size_t bytes();

 private:
  void read();

  std::string path_;
  std::string name_;
  int fd_ = -1;
  int watch_ = -1;
  unsigned count_ = 0;
  size_t bytes_ = 0;
};
