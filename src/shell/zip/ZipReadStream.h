#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The open entry of an archive being read, made by ZipFile's read
// operations. It does not own the archive's handle: the ZipFile must stay
// open until finishedReading. One thread at a time, like its ZipFile.
class ZipReadStream {
 public:
  // `unzFile`: minizip's read handle, with the current entry already opened.
  ZipReadStream(void* unzFile, std::string fileNameInZip);
  virtual ~ZipReadStream() = default;

  const std::string& fileNameInZip() const { return fileNameInZip_; }

  // Reads up to buffer.size() uncompressed bytes into the buffer (its size
  // is left alone) and returns how many; 0 at the end of the entry. Throws
  // ZipException "Error in reading '<name>' in the zipfile" with the
  // library's code (a wrong password or a CRC mismatch among them).
  virtual uint64_t readDataWithBuffer(std::vector<uint8_t>& buffer);
  // Closes the entry. Throws ZipException "Error in closing '<name>' in the
  // zipfile" with the library's code (a CRC mismatch at the end among them).
  virtual void finishedReading();

 protected:
  void* unzFile() const { return unzFile_; }

 private:
  void* unzFile_;
  std::string fileNameInZip_;
};
