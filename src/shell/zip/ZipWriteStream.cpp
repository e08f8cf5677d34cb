#include "ZipWriteStream.h"

#include <climits>
#include <minizip/zip.h>

#include "ZipException.h"

ZipWriteStream::ZipWriteStream(void* zipFile, std::string fileNameInZip)
    : m_zipFile(zipFile)
    , m_fileNameInZip(std::move(fileNameInZip))
{
}

void ZipWriteStream::writeData(const void* bytes, size_t length)
{
    writeToEntry(bytes, length);
}

void ZipWriteStream::writeToEntry(const void* bytes, size_t length)
{
    const char* next = static_cast<const char*>(bytes);
    // minizip takes an unsigned int length: larger data goes in pieces.
    do {
        unsigned int piece = length > UINT_MAX ? UINT_MAX : unsigned(length);
        int result = zipWriteInFileInZip(m_zipFile, next, piece);
        if (result < 0)
            throw ZipException(result, "Error in writing '" + m_fileNameInZip + "' in the zipfile");
        next += piece;
        length -= piece;
    } while (length > 0);
}

void ZipWriteStream::finishedWriting()
{
    int result = zipCloseFileInZip(m_zipFile);
    if (result != ZIP_OK)
        throw ZipException(result, "Error in closing '" + m_fileNameInZip + "' in the zipfile");
}
