#include "JKStringHash.h"

#include <sodium.h>

#include <cstring>
#include <random>

namespace {

struct ProcessKey {
  ProcessKey() {
    // SipHash itself needs no set-up, and the key comes from the kernel, not
    // from libsodium; libsodium asks that this be called first all the same.
    int initialised = sodium_init();
    (void)initialised;
    std::random_device entropy;  // the kernel's random source
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(entropy());
  }
  unsigned char bytes[crypto_shorthash_KEYBYTES];
};

const ProcessKey& processKey() {
  static const ProcessKey key;
  return key;
}

}  // namespace

std::uint64_t jkKeyedStringHash(std::string_view bytes) {
  unsigned char out[crypto_shorthash_BYTES];
  crypto_shorthash(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), processKey().bytes);
  std::uint64_t hash;
  std::memcpy(&hash, out, sizeof hash);
  return hash;
}
