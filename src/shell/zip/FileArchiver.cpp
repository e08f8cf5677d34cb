#include "FileArchiver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "VLLogger.h"
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

// Copies the file (its last maxBytes) into the entry piece by piece; an
// unreadable file leaves the entry empty (or cut where reading failed).
void copyFile(const std::string& path, ZipWriteStream& entry, size_t maxBytes) {
  FILE* file = fopen(path.c_str(), "rbe");
  if (!file) {
    VL_LOG_WARN("Archived as an empty entry, cannot open " << path << ": " << strerror(errno));
    return;
  }
  struct stat status;
  if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode) && uint64_t(status.st_size) > maxBytes) {
    VL_LOG_INFO("Archived its last " << maxBytes << " bytes of " << status.st_size << ": " << path);
    fseeko(file, status.st_size - off_t(maxBytes), SEEK_SET);
  }
  char buffer[65536];
  size_t length;
  while ((length = fread(buffer, 1, sizeof buffer, file)) > 0) entry.writeData(buffer, length);
  if (ferror(file)) VL_LOG_WARN("Archived only in part, reading failed: " << path);
  fclose(file);
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
