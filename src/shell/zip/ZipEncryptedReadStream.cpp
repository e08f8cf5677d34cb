#include "ZipEncryptedReadStream.h"

#include <algorithm>
#include <climits>
#include <minizip/unzip.h>

#include "ZipException.h"

namespace {

const size_t kInputSize = 65536;

}  // namespace

ZipEncryptedReadStream::ZipEncryptedReadStream(void* unzFile, std::string fileNameInZip,
                                               const ZipTraditionalCipher& cipher, int method, uint64_t length,
                                               uint32_t crc32)
    : ZipReadStream(unzFile, std::move(fileNameInZip)),
      cipher_(cipher),
      inflating_(method == Z_DEFLATED),
      input_(kInputSize),
      length_(length),
      expectedCrc_(crc32),
      crc_(uint32_t(::crc32(0, nullptr, 0))) {
  if (inflating_ && inflateInit2(&inflater_, -MAX_WBITS) != Z_OK) {
    inflating_ = false;
    fail(UNZ_INTERNALERROR);
  }
}

ZipEncryptedReadStream::~ZipEncryptedReadStream() {
  if (inflating_) inflateEnd(&inflater_);
}

void ZipEncryptedReadStream::fail(int code) const {
  throw ZipException(code, "Error in reading '" + fileNameInZip() + "' in the zipfile");
}

size_t ZipEncryptedReadStream::fillInput() {
  int result = unzReadCurrentFile(unzFile(), input_.data(), unsigned(input_.size()));
  if (result < 0) fail(result);
  cipher_.decrypt(input_.data(), size_t(result));
  return size_t(result);
}

uint64_t ZipEncryptedReadStream::readDataWithBuffer(std::vector<uint8_t>& buffer) {
  size_t wanted = std::min<size_t>(buffer.size(), INT_MAX);
  if (wanted == 0 || ended_) return 0;
  size_t produced = 0;
  if (!inflating_) {
    // Stored: as many decrypted bytes as the entry still has.
    while (produced < wanted) {
      int result = unzReadCurrentFile(unzFile(), buffer.data() + produced, unsigned(wanted - produced));
      if (result < 0) fail(result);
      if (result == 0) {
        ended_ = true;
        break;
      }
      cipher_.decrypt(buffer.data() + produced, size_t(result));
      produced += size_t(result);
    }
  } else {
    inflater_.next_out = buffer.data();
    inflater_.avail_out = uInt(wanted);
    while (inflater_.avail_out > 0 && !ended_) {
      if (inflater_.avail_in == 0) {
        inflater_.next_in = input_.data();
        inflater_.avail_in = uInt(fillInput());
      }
      int result = inflate(&inflater_, Z_SYNC_FLUSH);
      if (result == Z_STREAM_END)
        ended_ = true;
      else if (result == Z_BUF_ERROR && inflater_.avail_in == 0)
        fail(UNZ_BADZIPFILE);  // the entry ended before its deflated data
      else if (result != Z_OK)
        fail(result);
    }
    produced = wanted - inflater_.avail_out;
  }
  crc_ = uint32_t(::crc32_z(crc_, buffer.data(), produced));
  produced_ += produced;
  return produced;
}

void ZipEncryptedReadStream::finishedReading() {
  int result = unzCloseCurrentFile(unzFile());
  // As minizip checks a plain entry: once all of it has been read, also when
  // the deflated data's end has not been reached yet.
  bool whole = ended_ || produced_ == length_;
  if (result == UNZ_OK && whole && (crc_ != expectedCrc_ || produced_ != length_)) result = UNZ_CRCERROR;
  if (result != UNZ_OK) throw ZipException(result, "Error in closing '" + fileNameInZip() + "' in the zipfile");
}
