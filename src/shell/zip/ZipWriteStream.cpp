#include "ZipWriteStream.h"

#include <climits>
#include <minizip/zip.h>

#include "ZipException.h"

ZipWriteStream::ZipWriteStream(void* zipFile, std::string fileNameInZip)
    : zipFile_(zipFile), fileNameInZip_(std::move(fileNameInZip)) {}

void ZipWriteStream::writeData(const void* bytes, size_t length) {
  writeToEntry(bytes, length);
}

void ZipWriteStream::writeToEntry(const void* bytes, size_t length) {
  const char* next = static_cast<const char*>(bytes);
  // minizip takes an unsigned int length: larger data goes in pieces.
  do {
    unsigned int piece = length > UINT_MAX ? UINT_MAX : unsigned(length);
    int result = zipWriteInFileInZip(zipFile_, next, piece);
    if (result < 0) throw ZipException(result, "Error in writing '" + fileNameInZip_ + "' in the zipfile");
    next += piece;
    length -= piece;
  } while (length > 0);
}

void ZipWriteStream::finishedWriting() {
  int result = zipCloseFileInZip(zipFile_);
  if (result != ZIP_OK) throw ZipException(result, "Error in closing '" + fileNameInZip_ + "' in the zipfile");
}
