#include "VLCryptoLinuxImpl.h"

#include <openssl/evp.h>

#include "VLLogger.h"

std::string VLCryptoLinuxImpl::md5(const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr) != 1 || length != 16) {
        // Only when the library refuses MD5 (a FIPS-only configuration): the
        // answer still has the promised form.
        VL_LOG_ERROR("EVP_Digest has failed for MD5");
        return std::string(32, '0');
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string text(32, '0');
    for (unsigned int i = 0; i < 16; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    return text;
}
