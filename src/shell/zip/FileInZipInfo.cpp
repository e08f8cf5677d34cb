#include "FileInZipInfo.h"

FileInZipInfo::FileInZipInfo(std::string name, uint64_t length, int level, bool crypted, uint64_t size,
                             std::time_t date, uint64_t crc32)
    : name_(std::move(name)),
      length_(length),
      level_(level),
      crypted_(crypted),
      size_(size),
      date_(date),
      crc32_(crc32) {}
