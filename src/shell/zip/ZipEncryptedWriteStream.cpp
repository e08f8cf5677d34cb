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
    : ZipWriteStream(zipFile, std::move(fileNameInZip))
    , m_cipher(password)
    , m_givenCrc(crc32)
    , m_crc(uint32_t(::crc32(0, nullptr, 0)))
    , m_deflating(compressionLevel != 0)
    , m_output(kOutputSize)
{
    if (m_deflating
        && deflateInit2(&m_deflater, compressionLevel, Z_DEFLATED, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY)
               != Z_OK) {
        m_deflating = false;
        fail(ZIP_INTERNALERROR);
    }
    uint8_t header[ZipTraditionalCipher::kHeaderSize];
    if (!m_cipher.makeHeader(ZipTraditionalCipher::checkByte(0, crc32, 0), header)) {
        if (m_deflating)
            deflateEnd(&m_deflater);
        fail(ZIP_INTERNALERROR);
    }
    try {
        writeToEntry(header, sizeof header);
    } catch (...) {
        if (m_deflating)
            deflateEnd(&m_deflater);
        throw;
    }
}

ZipEncryptedWriteStream::~ZipEncryptedWriteStream()
{
    if (m_deflating)
        deflateEnd(&m_deflater);
}

void ZipEncryptedWriteStream::fail(int code) const
{
    throw ZipException(code, "Error in writing '" + fileNameInZip() + "' in the zipfile");
}

void ZipEncryptedWriteStream::writeData(const void* bytes, size_t length)
{
    const uint8_t* next = static_cast<const uint8_t*>(bytes);
    while (length > 0) {
        // zlib takes an unsigned int length: larger data goes in pieces.
        size_t piece = std::min<size_t>(length, UINT_MAX);
        m_crc = uint32_t(::crc32_z(m_crc, next, piece));
        m_size += piece;
        compress(next, piece, Z_NO_FLUSH);
        next += piece;
        length -= piece;
    }
}

void ZipEncryptedWriteStream::compress(const uint8_t* bytes, size_t length, int flush)
{
    if (!m_deflating) {
        // Stored: the plain bytes themselves, through the output buffer.
        while (length > 0) {
            size_t piece = std::min(length, m_output.size());
            std::copy(bytes, bytes + piece, m_output.begin());
            encryptAndWrite(m_output.data(), piece);
            bytes += piece;
            length -= piece;
        }
        return;
    }
    m_deflater.next_in = const_cast<Bytef*>(bytes);
    m_deflater.avail_in = uInt(length);
    int result;
    do {
        m_deflater.next_out = m_output.data();
        m_deflater.avail_out = uInt(m_output.size());
        result = deflate(&m_deflater, flush);
        if (result == Z_STREAM_ERROR)
            fail(result);
        encryptAndWrite(m_output.data(), m_output.size() - m_deflater.avail_out);
    } while (m_deflater.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
}

void ZipEncryptedWriteStream::encryptAndWrite(uint8_t* bytes, size_t length)
{
    if (length == 0)
        return;
    m_cipher.encrypt(bytes, length);
    writeToEntry(bytes, length);
}

void ZipEncryptedWriteStream::finishedWriting()
{
    if (m_deflating) {
        compress(nullptr, 0, Z_FINISH);
        deflateEnd(&m_deflater);
        m_deflating = false;
    }
    int result = zipCloseFileInZipRaw64(zipFile(), m_size, m_crc);
    if (result != ZIP_OK)
        throw ZipException(result, "Error in closing '" + fileNameInZip() + "' in the zipfile");
    if (m_crc != m_givenCrc) {
        throw ZipException(ZIP_PARAMERROR, "Error in closing '" + fileNameInZip()
                                               + "' in the zipfile: the content's CRC-32 is not the one given for"
                                                 " its encryption");
    }
}
