#pragma once
#include <cstdint>
#include <string_view>

// The hash of a string's UTF-8 bytes. The tokenizer computes it while it reads
// a string, the scalar cache keys on it and the dictionary places keys by it,
// so a parsed key is hashed exactly once.
constexpr std::uint64_t JKStringHashSeed = 1402737925;

inline std::uint64_t jkStringHash(std::string_view bytes) {
  std::uint64_t hash = JKStringHashSeed;
  for (unsigned char byte : bytes) hash = hash * 33 + byte;
  return hash;
}
