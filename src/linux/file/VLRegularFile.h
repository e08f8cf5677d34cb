// Reading files that the user or another program may have replaced with
// something else. Only a regular file is read: a FIFO would block the reader
// for ever and a device (/dev/zero, through a link) never ends, so the file is
// opened without blocking and checked on its descriptor, and no more than a
// cap is read. Links are followed only when the caller asks.
//
// Any thread; no state.
#pragma once

#include <cstddef>
#include <string>

class VLRegularFile {
 public:
  enum class Links { NotFollowed, Followed };

  // Opens `path` for reading when it is a regular file (and, unless links
  // are followed, not a link); -1 otherwise, with errno set (ELOOP for a
  // link, EINVAL for anything but a regular file). The descriptor is blocking
  // again and closed on exec.
  static int openForReading(const std::string& path, Links links = Links::NotFollowed);

  // The first `maxBytes` bytes of the file (all of a shorter one). False,
  // with `error` saying why, when it cannot be opened as above or read.
  static bool readHead(const std::string& path, size_t maxBytes, std::string& contents, std::string* error = nullptr,
                       Links links = Links::NotFollowed);

  // Its last `maxBytes` bytes (all of a shorter one), as readHead.
  static bool readTail(const std::string& path, size_t maxBytes, std::string& contents, std::string* error = nullptr,
                       Links links = Links::NotFollowed);
};
