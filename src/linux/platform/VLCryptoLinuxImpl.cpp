#include "VLCryptoLinuxImpl.h"

#include <cstdlib>
#include <openssl/evp.h>

#include "VLLogger.h"

namespace {

// MD5 names files here; it protects nothing. A configuration that allows only
// FIPS implementations by default (or has the default provider off) refuses
// the implicit EVP_md5(), so the digest is fetched with the "fips" property
// taken out of the query. Fetched once: the result lives for the process.
const EVP_MD* md5Implementation()
{
    static EVP_MD* const implementation = EVP_MD_fetch(nullptr, "MD5", "-fips");
    return implementation;
}

} // namespace

std::string VLCryptoLinuxImpl::md5(const std::string& data)
{
    const EVP_MD* md5 = md5Implementation();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!md5 || EVP_Digest(data.data(), data.size(), digest, &length, md5, nullptr) != 1 || length != 16) {
        VL_LOG_ERROR("No MD5 implementation is available (OpenSSL configuration : "
                     << (getenv("OPENSSL_CONF") ? getenv("OPENSSL_CONF") : "default") << ")");
        return std::string();
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string text(32, '0');
    for (unsigned int i = 0; i < 16; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    return text;
}
