// Reads a file the application keeps for itself (a saved page, a log) only
// when it is a plain regular file of bounded size. Whatever stands in its
// place otherwise (a FIFO that would block the open for ever, a link to
// /dev/zero that never ends, a device, a folder, a symbolic link) is refused
// without being read, and without an open that could block or have effects.
//
// Threads: any; no shared state.
#pragma once

#include <cstddef>
#include <string>

class RegularFile {
 public:
  // Reads the whole file into `contents`. False, with `why` set and
  // `contents` untouched, when there is no file, when it is not a regular
  // file (a symbolic link is refused too), when it holds more than
  // `maximumBytes`, or when it cannot be read.
  static bool read(const std::string& path, size_t maximumBytes, std::string& contents, std::string& why);
};
