#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <zlib.h>

#include "ZipTraditionalCipher.h"
#include "ZipWriteStream.h"

// An entry written with the zip format's traditional encryption. minizip
// holds the entry open raw: the stream deflates (or stores, at level 0) and
// encrypts the bytes itself, after the encryption header, and closes the
// entry with the size and CRC-32 it counted.
//
// The header's check byte comes from the CRC-32 given before writing: when
// the bytes written have another CRC-32, finishedWriting still closes the
// entry (the archive stays whole) but throws, for such an entry opens with no
// password. One thread at a time, like its ZipFile.
class ZipEncryptedWriteStream : public ZipWriteStream {
 public:
  // `zipFile`: minizip's write handle with the entry opened raw. Throws
  // ZipException "Error in writing '<name>' in the zipfile" when the header
  // cannot be made or written.
  ZipEncryptedWriteStream(void* zipFile, std::string fileNameInZip, int compressionLevel, const std::string& password,
                          uint32_t crc32);
  ~ZipEncryptedWriteStream() override;

  void writeData(const void* bytes, size_t length) override;
  // Throws as ZipWriteStream's, and "Error in closing '<name>' in the
  // zipfile: the content's CRC-32 is not the one given for its encryption"
  // (code ZIP_PARAMERROR).
  void finishedWriting() override;

 private:
  // Deflates (or copies) the input, encrypts what comes out and writes it.
  void compress(const uint8_t* bytes, size_t length, int flush);
  void encryptAndWrite(uint8_t* bytes, size_t length);
  [[noreturn]] void fail(int code) const;

  ZipTraditionalCipher cipher_;
  uint32_t givenCrc_;
  uint32_t crc_;
  uint64_t size_ = 0;
  bool deflating_;
  z_stream deflater_ = {};
  std::vector<uint8_t> output_;
};
