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
    : ZipReadStream(unzFile, std::move(fileNameInZip))
    , m_cipher(cipher)
    , m_inflating(method == Z_DEFLATED)
    , m_input(kInputSize)
    , m_length(length)
    , m_expectedCrc(crc32)
    , m_crc(uint32_t(::crc32(0, nullptr, 0)))
{
    if (m_inflating && inflateInit2(&m_inflater, -MAX_WBITS) != Z_OK) {
        m_inflating = false;
        fail(UNZ_INTERNALERROR);
    }
}

ZipEncryptedReadStream::~ZipEncryptedReadStream()
{
    if (m_inflating)
        inflateEnd(&m_inflater);
}

void ZipEncryptedReadStream::fail(int code) const
{
    throw ZipException(code, "Error in reading '" + fileNameInZip() + "' in the zipfile");
}

size_t ZipEncryptedReadStream::fillInput()
{
    int result = unzReadCurrentFile(unzFile(), m_input.data(), unsigned(m_input.size()));
    if (result < 0)
        fail(result);
    m_cipher.decrypt(m_input.data(), size_t(result));
    return size_t(result);
}

uint64_t ZipEncryptedReadStream::readDataWithBuffer(std::vector<uint8_t>& buffer)
{
    size_t wanted = std::min<size_t>(buffer.size(), INT_MAX);
    if (wanted == 0 || m_ended)
        return 0;
    size_t produced = 0;
    if (!m_inflating) {
        // Stored: as many decrypted bytes as the entry still has.
        while (produced < wanted) {
            int result = unzReadCurrentFile(unzFile(), buffer.data() + produced, unsigned(wanted - produced));
            if (result < 0)
                fail(result);
            if (result == 0) {
                m_ended = true;
                break;
            }
            m_cipher.decrypt(buffer.data() + produced, size_t(result));
            produced += size_t(result);
        }
    } else {
        m_inflater.next_out = buffer.data();
        m_inflater.avail_out = uInt(wanted);
        while (m_inflater.avail_out > 0 && !m_ended) {
            if (m_inflater.avail_in == 0) {
                m_inflater.next_in = m_input.data();
                m_inflater.avail_in = uInt(fillInput());
            }
            int result = inflate(&m_inflater, Z_SYNC_FLUSH);
            if (result == Z_STREAM_END)
                m_ended = true;
            else if (result == Z_BUF_ERROR && m_inflater.avail_in == 0)
                fail(UNZ_BADZIPFILE);  // the entry ended before its deflated data
            else if (result != Z_OK)
                fail(result);
        }
        produced = wanted - m_inflater.avail_out;
    }
    m_crc = uint32_t(::crc32_z(m_crc, buffer.data(), produced));
    m_produced += produced;
    return produced;
}

void ZipEncryptedReadStream::finishedReading()
{
    int result = unzCloseCurrentFile(unzFile());
    // As minizip checks a plain entry: once all of it has been read, also when
    // the deflated data's end has not been reached yet.
    bool whole = m_ended || m_produced == m_length;
    if (result == UNZ_OK && whole && (m_crc != m_expectedCrc || m_produced != m_length))
        result = UNZ_CRCERROR;
    if (result != UNZ_OK)
        throw ZipException(result, "Error in closing '" + fileNameInZip() + "' in the zipfile");
}
