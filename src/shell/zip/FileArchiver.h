#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Packs a list of files into a new zip archive: one entry per file, in list
// order, named by the file's last path component (two files of the same name
// give two entries of that name), deflated at level 9 and dated now.
class FileArchiver {
 public:
  FileArchiver() {}
  // maxBytesPerFile: of a longer file only its last that many bytes are
  // archived (the end of a log is what tells what happened last).
  explicit FileArchiver(std::vector<std::string> filesToArchive, size_t maxBytesPerFile = SIZE_MAX);

  std::vector<std::string>& filesToArchive() { return filesToArchive_; }

  // Writes the archive at `path`, replacing any file there. A file that
  // cannot be read gives an empty entry (logged as a warning). Throws
  // ZipException when the archive cannot be written; the half-written
  // archive is then removed.
  void createArchiveWithName(const std::string& path);

 private:
  std::vector<std::string> filesToArchive_;
  size_t maxBytesPerFile_ = SIZE_MAX;
};
