#include "RegularFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

std::string describe(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) return "a symbolic link";
  if (S_ISFIFO(status.st_mode)) return "a FIFO";
  if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) return "a device";
  if (S_ISDIR(status.st_mode)) return "a folder";
  if (S_ISSOCK(status.st_mode)) return "a socket";
  return "not a regular file";
}

}  // namespace

bool RegularFile::read(const std::string& path, size_t maximumBytes, std::string& contents, std::string& why) {
  // Looked at before it is opened: opening a device or a FIFO may block or
  // act on the device.
  struct stat before;
  if (lstat(path.c_str(), &before) != 0) {
    why = strerror(errno);
    return false;
  }
  if (!S_ISREG(before.st_mode)) {
    why = describe(before);
    return false;
  }
  // O_NOFOLLOW and O_NONBLOCK: something put in its place meanwhile neither
  // leads elsewhere nor holds the open; fstat then says what was opened.
  int descriptor = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    why = strerror(errno);
    return false;
  }
  struct stat opened;
  bool regular = fstat(descriptor, &opened) == 0 && S_ISREG(opened.st_mode);
  if (!regular || opened.st_size < 0 || static_cast<unsigned long long>(opened.st_size) > maximumBytes) {
    why = !regular ? describe(opened) : "larger than " + std::to_string(maximumBytes) + " bytes";
    close(descriptor);
    return false;
  }
  // Read to the end, whatever the size said, but never past the limit: a
  // file that grows while read is refused.
  std::string read;
  read.reserve(static_cast<size_t>(opened.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(descriptor, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      why = strerror(errno);
      close(descriptor);
      return false;
    }
    if (count == 0) break;
    if (read.size() + static_cast<size_t>(count) > maximumBytes) {
      why = "larger than " + std::to_string(maximumBytes) + " bytes";
      close(descriptor);
      return false;
    }
    read.append(buffer, static_cast<size_t>(count));
  }
  close(descriptor);
  contents = std::move(read);
  return true;
}
