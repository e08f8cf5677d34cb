#pragma once
#include <cstdint>
#include <string_view>

// The hash of a string's UTF-8 bytes that the tokenizer computes while it
// reads a string and the scalar cache keys on. Equal bytes give equal hashes
// in every process, and blocks such as "Ez" and "FY" give equal hashes too,
// which is harmless there: the cache probes at most four slots.
constexpr std::uint64_t JKStringHashSeed = 1402737925;

inline std::uint64_t jkStringHash(std::string_view bytes) {
  std::uint64_t hash = JKStringHashSeed;
  for (unsigned char byte : bytes) hash = hash * 33 + byte;
  return hash;
}

// The hash by which dictionaries place their keys: SipHash-2-4 under a random
// key chosen once per process. A document cannot be built to make many keys
// share one probe run (which would make parsing it quadratic), because the
// hash of a key cannot be known outside the process. Thread-safe.
std::uint64_t jkKeyedStringHash(std::string_view bytes);
