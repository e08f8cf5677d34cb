#ifndef ZIP_ENCRYPTED_READ_STREAM_H
#define ZIP_ENCRYPTED_READ_STREAM_H

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
class ZipEncryptedReadStream : public ZipReadStream
{
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
    // Reads and decrypts the next raw bytes into m_input; how many (0 at the
    // end of the entry).
    size_t fillInput();
    [[noreturn]] void fail(int code) const;

    ZipTraditionalCipher m_cipher;
    bool m_inflating;
    bool m_ended = false;
    z_stream m_inflater = {};
    std::vector<uint8_t> m_input;
    uint64_t m_length;
    uint64_t m_produced = 0;
    uint32_t m_expectedCrc;
    uint32_t m_crc;
};

#endif
