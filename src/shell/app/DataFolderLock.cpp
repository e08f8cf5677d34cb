#include "DataFolderLock.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ShellTrace.h"

namespace {

int lockWithoutInterruption(int descriptor, int operation) {
  int result;
  while ((result = flock(descriptor, operation)) == -1 && errno == EINTR) {
  }
  return result;
}

}  // namespace

DataFolderLock::~DataFolderLock() {
  close();
}

void DataFolderLock::close() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

bool DataFolderLock::open(const std::string& folder, std::string& why) {
  close();
  if (folder.empty()) {
    why = "no data folder";
    return false;
  }
  std::string path = folder + "/" + kFileName;
  // Read-only: a lock needs no more, and a file made before opens so also
  // on a home that has turned read-only.
  descriptor_ = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (descriptor_ < 0) {
    int error = errno;
    why = path + ": " + g_strerror(error);
    errno = error;
    return false;
  }
  return true;
}

// Waits while a removal holds the lock, which ends with the removal; the
// log tells why no window shows meanwhile.
bool DataFolderLock::lockShared(const std::string& folder, std::string& why) {
  if (lockWithoutInterruption(descriptor_, LOCK_SH | LOCK_NB) == 0) return true;
  if (errno == EWOULDBLOCK) {
    shellTrace("DataFolderLock::holdShared", "--remove-folder removes " + folder + ": waiting for it to end");
    if (lockWithoutInterruption(descriptor_, LOCK_SH) == 0) return true;
  }
  why = std::string("cannot lock: ") + g_strerror(errno);
  return false;
}

bool DataFolderLock::holdShared(const std::string& folder) {
  std::string why;
  // A removal that held the lock has removed the file this one waited on,
  // or the folder between its making and the file's opening: the folder and
  // its file are made again and locked anew.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!folder.empty()) g_mkdir_with_parents(folder.c_str(), 0700);
    if (!open(folder, why)) {
      if (errno == ENOENT && !folder.empty()) continue;
      break;
    }
    if (!lockShared(folder, why)) break;
    struct stat status;
    if (fstat(descriptor_, &status) == 0 && status.st_nlink > 0) return true;
  }
  close();
  if (why.empty()) why = "its lock file keeps being removed";
  shellTrace("DataFolderLock::holdShared",
             "the data folder is not locked for this client (" + why + "): --remove-folder cannot tell that it runs");
  return false;
}

DataFolderLock::Exclusive DataFolderLock::takeExclusive(const std::string& folder, std::string& why) {
  if (!open(folder, why)) return Exclusive::Unknown;
  if (lockWithoutInterruption(descriptor_, LOCK_EX | LOCK_NB) == 0) return Exclusive::Taken;
  int error = errno;
  close();
  if (error == EWOULDBLOCK) return Exclusive::HeldByAClient;
  why = std::string("cannot lock: ") + g_strerror(error);
  return Exclusive::Unknown;
}
