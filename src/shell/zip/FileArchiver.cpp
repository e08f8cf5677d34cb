#include "FileArchiver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "VLLogger.h"
#include "VLRegularFile.h"
#include "ZipException.h"
#include "ZipFile.h"

namespace {

const int kBestCompression = 9;

std::string lastPathComponent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::string::size_type slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// Copies the file (its last maxBytes) into the entry piece by piece; a file
// that cannot be read as a regular one (a FIFO, a link, a device) leaves the
// entry empty, an unreadable one empty or cut where reading failed.
void copyFile(const std::string& path, ZipWriteStream& entry, size_t maxBytes) {
  int descriptor = VLRegularFile::openForReading(path, VLRegularFile::Links::Followed);
  if (descriptor < 0) {
    VL_LOG_WARN("Archived as an empty entry, cannot open " << path << " as a regular file: " << strerror(errno));
    return;
  }
  struct stat status;
  if (fstat(descriptor, &status) == 0 && uint64_t(status.st_size) > maxBytes) {
    VL_LOG_INFO("Archived its last " << maxBytes << " bytes of " << status.st_size << ": " << path);
    lseek(descriptor, status.st_size - off_t(maxBytes), SEEK_SET);
  }
  // No more than maxBytes, also of a file that grows while it is read.
  char buffer[65536];
  size_t copied = 0;
  while (copied < maxBytes) {
    ssize_t length = read(descriptor, buffer, std::min(sizeof buffer, maxBytes - copied));
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) VL_LOG_WARN("Archived only in part, reading failed: " << path);
    if (length <= 0) break;
    entry.writeData(buffer, size_t(length));
    copied += size_t(length);
  }
  close(descriptor);
}

}  // namespace

FileArchiver::FileArchiver(std::vector<std::string> filesToArchive, size_t maxBytesPerFile)
    : filesToArchive_(std::move(filesToArchive)), maxBytesPerFile_(maxBytesPerFile) {}

void FileArchiver::createArchiveWithName(const std::string& path) {
  ZipFile archive(path, ZipFile::ZipFileModeCreate);
  try {
    for (const std::string& file : filesToArchive_) {
      std::unique_ptr<ZipWriteStream> entry = archive.writeFileInZipWithName(lastPathComponent(file), kBestCompression);
      copyFile(file, *entry, maxBytesPerFile_);
      entry->finishedWriting();
    }
    archive.close();
  } catch (const ZipException&) {
    // Closed first, so that nothing writes the file again after its removal.
    try {
      archive.close();
    } catch (const ZipException&) {
    }
    remove(path.c_str());
    throw;
  }
}
