#include "VLLinuxFileHelper.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <utility>

#include "VLFolderLinuxImpl.h"
#include "VLLogger.h"

namespace {

bool isRegularEntry(DIR* folder, const struct dirent* entry) {
  if (entry->d_type == DT_REG) return true;
  if (entry->d_type != DT_UNKNOWN) return false;
  // Some file systems (older XFS, network and FUSE mounts) do not report the
  // type in the entry; ask for it without following symbolic links.
  struct stat status;
  return fstatat(dirfd(folder), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

bool VLLinuxFileHelper::createDirectory(const std::string& path) {
  return makeFolder(path, 0755);
}

bool VLLinuxFileHelper::createPrivateDirectory(const std::string& path) {
  return makeFolder(path, 0700);
}

bool VLLinuxFileHelper::makeFolder(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) == 0) return true;
  if (errno != EEXIST) return false;
  // Something already holds the path: only a folder counts as success, so that
  // a regular file in the way is not reported as a folder that callers then
  // fail to write into.
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

char VLLinuxFileHelper::getSeparator() {
  return '/';
}

uint64_t VLLinuxFileHelper::getFileSize(const std::string& path) {
  // One stat: the index load asks for two sizes per stored file, and opening
  // each file costs several times as much (and would block on a FIFO).
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  return static_cast<uint64_t>(status.st_size);
}

VLFolder* VLLinuxFileHelper::openFolder(const std::string& path) {
  int descriptor = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  return new VLFolderLinuxImpl(descriptor);
}

bool VLLinuxFileHelper::listFiles(const std::string& directory, std::list<std::string>* files) {
  return forEachFile(directory, [&](std::string_view name) {
    std::string path = directory + '/';
    path += name;
    files->push_back(std::move(path));
  });
}

bool VLLinuxFileHelper::forEachFile(const std::string& directory,
                                    const std::function<void(std::string_view name)>& visit) {
  DIR* folder = opendir(directory.c_str());
  if (!folder) return false;
  while (struct dirent* entry = readdir(folder)) {
    if (isRegularEntry(folder, entry)) visit(entry->d_name);
  }
  closedir(folder);
  return true;
}

bool VLLinuxFileHelper::removeFile(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

bool VLLinuxFileHelper::renameFile(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

namespace {

// Copies everything from one descriptor to the other, in the kernel where it can.
bool copyAll(int from, int to) {
  for (;;) {
    ssize_t copied = copy_file_range(from, nullptr, to, nullptr, 1 << 20, 0);
    if (copied == 0) return true;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;  // not between these file systems: copy through a buffer
  }
  char buffer[1 << 16];
  for (;;) {
    ssize_t got = read(from, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(to, buffer + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      done += put;
    }
  }
}

}  // namespace

bool VLLinuxFileHelper::copyFile(const std::string& from, const std::string& to) {
  int source = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) return false;
  int target = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (target < 0) {
    close(source);
    return false;
  }
  bool copied = copyAll(source, target) && fsync(target) == 0;
  close(source);
  if (close(target) != 0) copied = false;
  if (!copied) unlink(to.c_str());
  return copied;
}

bool VLLinuxFileHelper::isSameVolume(const std::string& first, const std::string& second) {
  struct stat firstStatus;
  if (stat(first.c_str(), &firstStatus) != 0) return false;
  struct stat secondStatus;
  if (stat(second.c_str(), &secondStatus) != 0) return false;
  return firstStatus.st_dev == secondStatus.st_dev;
}

bool VLLinuxFileHelper::getFreeSpace(const std::string& path, double* available, double* total) {
  struct statvfs volume;
  if (statvfs(path.c_str(), &volume) != 0) {
    VL_LOG_ERROR("statfs failed (" << errno << ") : " << path);
    return false;
  }
  if (available) *available = static_cast<double>(volume.f_bavail) * static_cast<double>(volume.f_frsize);
  if (total) *total = static_cast<double>(volume.f_blocks) * static_cast<double>(volume.f_frsize);
  return true;
}
