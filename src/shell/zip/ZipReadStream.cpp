#include "ZipReadStream.h"

#include <climits>
#include <minizip/unzip.h>

#include "ZipException.h"

ZipReadStream::ZipReadStream(void* unzFile, std::string fileNameInZip)
    : m_unzFile(unzFile)
    , m_fileNameInZip(std::move(fileNameInZip))
{
}

uint64_t ZipReadStream::readDataWithBuffer(std::vector<uint8_t>& buffer)
{
    unsigned int length = buffer.size() > INT_MAX ? INT_MAX : unsigned(buffer.size());
    int result = unzReadCurrentFile(m_unzFile, buffer.data(), length);
    if (result < 0)
        throw ZipException(result, "Error in reading '" + m_fileNameInZip + "' in the zipfile");
    return uint64_t(result);
}

void ZipReadStream::finishedReading()
{
    int result = unzCloseCurrentFile(m_unzFile);
    if (result != UNZ_OK)
        throw ZipException(result, "Error in closing '" + m_fileNameInZip + "' in the zipfile");
}
