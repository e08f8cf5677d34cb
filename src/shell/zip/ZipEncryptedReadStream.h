#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <zlib.h>

#include "ZipReadStream.h"
#include "ZipTraditionalCipher.h"

// An entry encrypted with the zip format's traditional encryption, read
// with its password. minizip holds the entry open raw, past the encryption
// header (which ZipFile has checked): the stream decrypts and inflates (or
// copies, for a stored entry) the bytes itself and checks the CRC-32 as
// minizip does, when the whole entry has been read and it is closed.
// One thread at a time, like its ZipFile.
class ZipEncryptedReadStream : public ZipReadStream {
 public:
  // `unzFile`: minizip's read handle with the entry opened raw and its
  // header read; `cipher`: the keys past the header; `method`: 0 stored,
  // 8 deflated.
  ZipEncryptedReadStream(void* unzFile, std::string fileNameInZip, const ZipTraditionalCipher& cipher, int method,
                         uint64_t length, uint32_t crc32);
  ~ZipEncryptedReadStream() override;

  uint64_t readDataWithBuffer(std::vector<uint8_t>& buffer) override;
  void finishedReading() override;

 private:
  // Reads and decrypts the next raw bytes into input_; how many (0 at the
  // end of the entry).
  size_t fillInput();
  [[noreturn]] void fail(int code) const;

  ZipTraditionalCipher cipher_;
  bool inflating_;
  bool ended_ = false;
  z_stream inflater_ = {};
  std::vector<uint8_t> input_;
  uint64_t length_;
  uint64_t produced_ = 0;
  uint32_t expectedCrc_;
  uint32_t crc_;
};
