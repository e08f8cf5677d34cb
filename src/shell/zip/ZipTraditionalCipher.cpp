#include "ZipTraditionalCipher.h"

#include <sys/random.h>
#include <zlib.h>

namespace {

// One byte into a CRC-32 register, without zlib's pre- and post-inversion:
// the key schedule works on the bare register.
uint32_t crcStep(uint32_t crc, uint8_t byte) {
  static const z_crc_t* table = get_crc_table();
  return uint32_t(table[(crc ^ byte) & 0xff]) ^ (crc >> 8);
}

}  // namespace

ZipTraditionalCipher::ZipTraditionalCipher(const std::string& password) : keys_{0x12345678u, 0x23456789u, 0x34567890u} {
  for (char c : password) update(uint8_t(c));
}

uint8_t ZipTraditionalCipher::keyStreamByte() const {
  uint32_t temp = (keys_[2] | 2) & 0xffff;
  return uint8_t((temp * (temp ^ 1)) >> 8);
}

void ZipTraditionalCipher::update(uint8_t plain) {
  keys_[0] = crcStep(keys_[0], plain);
  keys_[1] = (keys_[1] + (keys_[0] & 0xff)) * 134775813u + 1;
  keys_[2] = crcStep(keys_[2], uint8_t(keys_[1] >> 24));
}

void ZipTraditionalCipher::encrypt(uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    uint8_t plain = bytes[i];
    bytes[i] = plain ^ keyStreamByte();
    update(plain);
  }
}

void ZipTraditionalCipher::decrypt(uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    bytes[i] ^= keyStreamByte();
    update(bytes[i]);
  }
}

bool ZipTraditionalCipher::makeHeader(uint8_t checkByte, uint8_t (&header)[kHeaderSize]) {
  // The random bytes keep two entries with one password from sharing a key
  // stream; they come from the kernel, never from a guessable clock.
  if (getrandom(header, kHeaderSize - 1, 0) != ssize_t(kHeaderSize - 1)) return false;
  header[kHeaderSize - 1] = checkByte;
  encrypt(header, kHeaderSize);
  return true;
}

bool ZipTraditionalCipher::acceptsHeader(const uint8_t (&header)[kHeaderSize], uint8_t checkByte) {
  uint8_t plain[kHeaderSize];
  for (size_t i = 0; i < kHeaderSize; ++i) plain[i] = header[i];
  decrypt(plain, kHeaderSize);
  return plain[kHeaderSize - 1] == checkByte;
}

uint8_t ZipTraditionalCipher::checkByte(unsigned flag, uint32_t crc32, uint32_t dosDateTime) {
  if (flag & 8) return uint8_t((dosDateTime >> 8) & 0xff);
  return uint8_t(crc32 >> 24);
}
