#include "ZipReadStream.h"

#include <climits>
#include <minizip/unzip.h>

#include "ZipException.h"

ZipReadStream::ZipReadStream(void* unzFile, std::string fileNameInZip)
    : unzFile_(unzFile), fileNameInZip_(std::move(fileNameInZip)) {}

uint64_t ZipReadStream::readDataWithBuffer(std::vector<uint8_t>& buffer) {
  unsigned int length = buffer.size() > INT_MAX ? INT_MAX : unsigned(buffer.size());
  int result = unzReadCurrentFile(unzFile_, buffer.data(), length);
  if (result < 0) throw ZipException(result, "Error in reading '" + fileNameInZip_ + "' in the zipfile");
  return uint64_t(result);
}

void ZipReadStream::finishedReading() {
  int result = unzCloseCurrentFile(unzFile_);
  if (result != UNZ_OK) throw ZipException(result, "Error in closing '" + fileNameInZip_ + "' in the zipfile");
}
