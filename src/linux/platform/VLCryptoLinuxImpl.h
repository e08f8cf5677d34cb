#pragma once

#include "VLCrypto.h"

// MD5 through GLib's checksum, which no OpenSSL configuration can turn off.
class VLCryptoLinuxImpl : public VLCrypto {
 public:
  std::string md5(const std::string& data) override;
};
