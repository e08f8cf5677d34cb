#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// What the central directory says of one entry of a zip archive. An
// immutable value.
class FileInZipInfo {
 public:
  // `level`: 0 stored, -1 default, 9 best, 1 fastest (see ZipFile).
  // `date`: the entry's modification time, read in the local calendar.
  FileInZipInfo(std::string name, uint64_t length, int level, bool crypted, uint64_t size, std::time_t date,
                uint64_t crc32);

  const std::string& name() const { return name_; }
  // The uncompressed size.
  uint64_t length() const { return length_; }
  int level() const { return level_; }
  bool crypted() const { return crypted_; }
  // The compressed size.
  uint64_t size() const { return size_; }
  std::time_t date() const { return date_; }
  uint64_t crc32() const { return crc32_; }

 private:
  std::string name_;
  uint64_t length_;
  int level_;
  bool crypted_;
  uint64_t size_;
  std::time_t date_;
  uint64_t crc32_;
};
