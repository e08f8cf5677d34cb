#include "ZipEncryptedWriteStream.h"

#include <algorithm>
#include <climits>
#include <minizip/zip.h>

#include "ZipException.h"

namespace {

const size_t kOutputSize = 65536;

}  // namespace

ZipEncryptedWriteStream::ZipEncryptedWriteStream(void* zipFile, std::string fileNameInZip, int compressionLevel,
                                                 const std::string& password, uint32_t crc32)
    : ZipWriteStream(zipFile, std::move(fileNameInZip)),
      cipher_(password),
      givenCrc_(crc32),
      crc_(uint32_t(::crc32(0, nullptr, 0))),
      deflating_(compressionLevel != 0),
      output_(kOutputSize) {
  if (deflating_ &&
      deflateInit2(&deflater_, compressionLevel, Z_DEFLATED, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK) {
    deflating_ = false;
    fail(ZIP_INTERNALERROR);
  }
  uint8_t header[ZipTraditionalCipher::kHeaderSize];
  if (!cipher_.makeHeader(ZipTraditionalCipher::checkByte(0, crc32, 0), header)) {
    if (deflating_) deflateEnd(&deflater_);
    fail(ZIP_INTERNALERROR);
  }
  try {
    writeToEntry(header, sizeof header);
  } catch (...) {
    if (deflating_) deflateEnd(&deflater_);
    throw;
  }
}

ZipEncryptedWriteStream::~ZipEncryptedWriteStream() {
  if (deflating_) deflateEnd(&deflater_);
}

void ZipEncryptedWriteStream::fail(int code) const {
  throw ZipException(code, "Error in writing '" + fileNameInZip() + "' in the zipfile");
}

void ZipEncryptedWriteStream::writeData(const void* bytes, size_t length) {
  const uint8_t* next = static_cast<const uint8_t*>(bytes);
  while (length > 0) {
    // zlib takes an unsigned int length: larger data goes in pieces.
    size_t piece = std::min<size_t>(length, UINT_MAX);
    crc_ = uint32_t(::crc32_z(crc_, next, piece));
    size_ += piece;
    compress(next, piece, Z_NO_FLUSH);
    next += piece;
    length -= piece;
  }
}

void ZipEncryptedWriteStream::compress(const uint8_t* bytes, size_t length, int flush) {
  if (!deflating_) {
    // Stored: the plain bytes themselves, through the output buffer.
    while (length > 0) {
      size_t piece = std::min(length, output_.size());
      std::copy(bytes, bytes + piece, output_.begin());
      encryptAndWrite(output_.data(), piece);
      bytes += piece;
      length -= piece;
    }
    return;
  }
  deflater_.next_in = const_cast<Bytef*>(bytes);
  deflater_.avail_in = uInt(length);
  int result;
  do {
    deflater_.next_out = output_.data();
    deflater_.avail_out = uInt(output_.size());
    result = deflate(&deflater_, flush);
    if (result == Z_STREAM_ERROR) fail(result);
    encryptAndWrite(output_.data(), output_.size() - deflater_.avail_out);
  } while (deflater_.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
}

void ZipEncryptedWriteStream::encryptAndWrite(uint8_t* bytes, size_t length) {
  if (length == 0) return;
  cipher_.encrypt(bytes, length);
  writeToEntry(bytes, length);
}

void ZipEncryptedWriteStream::finishedWriting() {
  if (deflating_) {
    compress(nullptr, 0, Z_FINISH);
    deflateEnd(&deflater_);
    deflating_ = false;
  }
  int result = zipCloseFileInZipRaw64(zipFile(), size_, crc_);
  if (result != ZIP_OK) throw ZipException(result, "Error in closing '" + fileNameInZip() + "' in the zipfile");
  if (crc_ != givenCrc_) {
    throw ZipException(ZIP_PARAMERROR, "Error in closing '" + fileNameInZip() +
                                           "' in the zipfile: the content's CRC-32 is not the one given for"
                                           " its encryption");
  }
}
