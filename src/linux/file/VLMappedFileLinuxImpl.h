#pragma once

#include <vector>

#include "VLMappedFile.h"

// A mapped file over a POSIX descriptor and one shared read-write mapping of the
// whole file (its length rounded up to whole pages). A file on a read-only
// volume (one remounted so after an error) opens at its present size for
// reading: its mapping is private, so that its bytes are read as they are on
// the disk and a write changes this mapping only.
class VLMappedFileLinuxImpl : public VLMappedFile {
 public:
  explicit VLMappedFileLinuxImpl(const std::string& path);
  ~VLMappedFileLinuxImpl() override;

  bool open() override;
  void close() override;
  bool isOpen() override;
  unsigned char* getData() override;
  size_t getSize() override;
  bool open(size_t size) override;
  bool openUnreserved(size_t size) override;
  bool reserve(size_t offset, size_t length) override;
  bool flush(size_t offset, size_t length) override;
  bool startFlush(size_t offset, size_t length) override;
  // Catches the SIGBUS of a page past the file's end (see VLMappedMemoryGuard).
  bool runGuarded(void (*access)(void*), void* context) override;

 private:
  bool openAt(size_t size, bool reserveRoom);
  bool setLength(size_t presentSize, size_t size, bool reserveRoom);
  bool fail();
  bool syncRange(size_t offset, size_t length, unsigned int flags);
  int reserveRange(size_t offset, size_t length);
  void noteReserved(size_t offset, size_t length);

  // Opens the file for reading and writing (made when missing); for reading
  // only on a read-only volume when `size` keeps its present size.
  int openDescriptor(size_t size);

  int descriptor_;
  bool readOnly_;  // opened for reading only: the mapping is private
  unsigned char* data_;
  size_t size_;
  // Per step of the file (see kReserveStep), whether this open knows it
  // reserved on disk: a write there needs no call to the system.
  std::vector<bool> reservedSteps_;
};
