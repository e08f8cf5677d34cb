#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The zip format's traditional encryption: a byte stream cipher whose three
// keys start from the password and follow every plain byte. An encrypted
// entry's data begins with a 12-byte header (11 random bytes and a check
// byte, encrypted like the rest); a reader that decrypts the header to the
// check byte it expects has, most likely, the right password.
//
// The check byte is the high byte of the entry's CRC-32, or, for an entry
// whose sizes and CRC follow its data (general-purpose flag bit 3), the high
// byte of its DOS time.
//
// The cipher is weak and meant only for what other zip tools must open with
// a password. One thread at a time.
class ZipTraditionalCipher {
 public:
  static const size_t kHeaderSize = 12;

  // Keys from the password's bytes (UTF-8 as given).
  explicit ZipTraditionalCipher(const std::string& password);

  // A new encryption header with that check byte, encrypted: the first
  // bytes of the entry. False when the system gives no random bytes.
  bool makeHeader(uint8_t checkByte, uint8_t (&header)[kHeaderSize]);
  // Decrypts an entry's header; true when it ends with the check byte.
  bool acceptsHeader(const uint8_t (&header)[kHeaderSize], uint8_t checkByte);

  // In place, continuing from the bytes before.
  void encrypt(uint8_t* bytes, size_t length);
  void decrypt(uint8_t* bytes, size_t length);

  // The check byte of an entry, from its general-purpose flag, CRC-32 and
  // DOS date and time (date in the high 16 bits).
  static uint8_t checkByte(unsigned flag, uint32_t crc32, uint32_t dosDateTime);

 private:
  uint8_t keyStreamByte() const;
  void update(uint8_t plain);

  uint32_t keys_[3];
};
