#pragma once

#include <cstddef>
#include <string>

// The open entry of an archive being written, made by ZipFile's write
// operations. It does not own the archive's handle: the ZipFile must stay
// open until finishedWriting. One thread at a time, like its ZipFile.
class ZipWriteStream {
 public:
  // `zipFile`: minizip's write handle, with the entry already opened.
  ZipWriteStream(void* zipFile, std::string fileNameInZip);
  virtual ~ZipWriteStream() = default;

  const std::string& fileNameInZip() const { return fileNameInZip_; }

  // Compresses the bytes into the entry. Throws ZipException "Error in
  // writing '<name>' in the zipfile" with the library's code.
  virtual void writeData(const void* bytes, size_t length);
  void writeData(const std::string& bytes) { writeData(bytes.data(), bytes.size()); }
  // Closes the entry. Throws ZipException "Error in closing '<name>' in the
  // zipfile" with the library's code.
  virtual void finishedWriting();

 protected:
  // Hands bytes to minizip as they are, in pieces it takes; throws as
  // writeData.
  void writeToEntry(const void* bytes, size_t length);
  void* zipFile() const { return zipFile_; }

 private:
  void* zipFile_;
  std::string fileNameInZip_;
};
