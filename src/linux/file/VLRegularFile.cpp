#include "VLRegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::string describe(int number) {
  if (number == EINVAL) return "not a regular file";
  if (number == ELOOP) return "a link, not followed";
  return strerror(number);
}

// Reads up to maxBytes from the descriptor's current offset.
bool readUpTo(int descriptor, size_t maxBytes, std::string& contents) {
  contents.clear();
  char buffer[65536];
  while (contents.size() < maxBytes) {
    size_t wanted = std::min(sizeof buffer, maxBytes - contents.size());
    ssize_t length = read(descriptor, buffer, wanted);
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) return false;
    if (length == 0) break;
    contents.append(buffer, size_t(length));
  }
  return true;
}

bool readPart(const std::string& path, size_t maxBytes, bool tail, std::string& contents, std::string* error,
              VLRegularFile::Links links) {
  contents.clear();
  int descriptor = VLRegularFile::openForReading(path, links);
  if (descriptor < 0) {
    if (error) *error = describe(errno);
    return false;
  }
  struct stat status;
  bool positioned = fstat(descriptor, &status) == 0;
  if (positioned && tail && uint64_t(status.st_size) > maxBytes)
    positioned = lseek(descriptor, status.st_size - off_t(maxBytes), SEEK_SET) >= 0;
  bool read = positioned && readUpTo(descriptor, maxBytes, contents);
  int number = errno;
  close(descriptor);
  if (!read && error) *error = describe(number);
  return read;
}

}  // namespace

int VLRegularFile::openForReading(const std::string& path, Links links) {
  // O_NONBLOCK: opening a FIFO without a writer would wait for one.
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (links == Links::Followed ? 0 : O_NOFOLLOW);
  int descriptor = open(path.c_str(), flags);
  if (descriptor < 0) return -1;
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    errno = EINVAL;
    return -1;
  }
  int modes = fcntl(descriptor, F_GETFL);
  if (modes >= 0) fcntl(descriptor, F_SETFL, modes & ~O_NONBLOCK);
  return descriptor;
}

bool VLRegularFile::readHead(const std::string& path, size_t maxBytes, std::string& contents, std::string* error,
                             Links links) {
  return readPart(path, maxBytes, false, contents, error, links);
}

bool VLRegularFile::readTail(const std::string& path, size_t maxBytes, std::string& contents, std::string* error,
                             Links links) {
  return readPart(path, maxBytes, true, contents, error, links);
}
