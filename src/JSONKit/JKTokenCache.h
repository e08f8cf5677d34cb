#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "JKStringPool.h"
#include "JKValue.h"

// The decoder's cache of the strings it has produced, keyed on their bytes and
// hash. Equal strings, within one document and across documents parsed by the
// same decoder, come back as the same shared string object: keys that repeat
// in every record of a list cost a lookup instead of an allocation.
//
// 1024 slots, at most 4 probes per lookup. Each slot has an age byte: a hit
// makes it older (age * 2 + 1), a probe that passes through an occupied slot
// halves its age and, by a linear-feedback shift register, the ages of two
// random slots; only a slot of age 0 is replaced. The cache never grows: a
// string that finds no usable slot is returned uncached.
//
// Not thread-safe: it belongs to one decoder.
class JKTokenCache {
 public:
  static constexpr std::size_t kSlotCount = 1024;
  static constexpr int kMaxProbes = 4;

  JKTokenCache();

  // The shared string for these bytes, whose jkStringHash is `hash`. The empty
  // string is the constant jkEmptyString() and never cached.
  JKValue::SharedString cachedString(std::string_view bytes, std::uint64_t hash);
  // The same for a dictionary key, with its JKDictionary::hashKey in *keyHash:
  // computed once per cached string and kept in its slot, so a key repeated in
  // every record of a list is hashed for the dictionary only once.
  JKValue::SharedString cachedKey(std::string_view bytes, std::uint64_t hash, std::uint64_t* keyHash);

  // Empties every slot and resets every age.
  void clear();

  // Introspection for tests.
  std::uint8_t ageAt(std::size_t slot) const { return age_[slot]; }
  const JKValue::SharedString& objectAt(std::size_t slot) const { return items_[slot].object; }
  std::uint32_t generator() const { return prngLfsr_; }
  // Advances the generator and halves the age of the slot it picks.
  void ageRandomSlot();

 private:
  struct Item {
    JKValue::SharedString object;
    std::uint64_t hash = 0;
    // The object's bytes and size, kept here so that a probe reaches them
    // without going through the string object.
    const char* text = nullptr;
    std::size_t size = 0;
    std::uint64_t keyHash = 0;
    bool hasKeyHash = false;
  };
  static constexpr std::size_t kNoSlot = kSlotCount;

  // The cached string and its slot, or a new string and the slot it took
  // (kNoSlot when it found none).
  JKValue::SharedString lookUp(std::string_view bytes, std::uint64_t hash, std::size_t* slot);

  JKStringPool strings_;
  std::vector<Item> items_;
  std::vector<std::uint8_t> age_;
  std::uint32_t prngLfsr_ = 1;
};
