#pragma once
#include <cstdint>
#include <limits>

// The mutation counter of JKArray and JKDictionary: 0 marks an immutable
// container for its whole life; a mutable one starts at 1 and every mutation
// advances it, wrapping from the maximum to 1 so it never reads as immutable.
// Iterators remember it to notice a container changed under them.
inline std::uint64_t jkNextMutation(std::uint64_t mutations) {
  return mutations == std::numeric_limits<std::uint64_t>::max() ? 1 : mutations + 1;
}
