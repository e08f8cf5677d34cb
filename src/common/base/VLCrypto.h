#pragma once

#include <string>

// Digest service. Made by VLPlatformFactory::createCrypto; owned by the caller.
// An object may be used by one thread at a time.
class VLCrypto {
 public:
  virtual ~VLCrypto() {}

  // The MD5 digest of every byte of `data` (embedded zero bytes included) as 32
  // lowercase hexadecimal digits. Never fails: it names files, so no system
  // policy on cryptography may take it away.
  virtual std::string md5(const std::string& data) = 0;
};
