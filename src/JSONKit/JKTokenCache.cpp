#include "JKTokenCache.h"

#include <algorithm>
#include <cstring>

#include "JKDictionary.h"
#include "JKTokenizer.h"

namespace {

constexpr std::size_t kMask = JKTokenCache::kSlotCount - 1;
// Part of the probe step: the value type of a string token.
constexpr std::uint64_t kStringValueType = static_cast<std::uint64_t>(JKValueType::String);

// Whether the `size` bytes at a and b are equal. Cached strings are mostly
// short keys and values, which are compared here in at most two loads per
// side instead of a call to memcmp.
inline bool sameBytes(const char* a, const char* b, std::size_t size) {
  auto load = [](const char* p, auto word) {
    std::memcpy(&word, p, sizeof word);
    return word;
  };
  if (size >= 8) {
    if (size > 16) return std::memcmp(a, b, size) == 0;
    std::uint64_t x = 0;
    return load(a, x) == load(b, x) && load(a + size - 8, x) == load(b + size - 8, x);
  }
  if (size >= 4) {
    std::uint32_t x = 0;
    return load(a, x) == load(b, x) && load(a + size - 4, x) == load(b + size - 4, x);
  }
  for (std::size_t i = 0; i < size; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

JKTokenCache::JKTokenCache() : items_(kSlotCount), age_(kSlotCount, 0) {}

void JKTokenCache::clear() {
  for (Item& item : items_) item = Item();
  std::fill(age_.begin(), age_.end(), 0);
}

void JKTokenCache::ageRandomSlot() {
  prngLfsr_ = (prngLfsr_ >> 1) ^ ((prngLfsr_ & 1u) ? 0x80200003u : 0u);
  age_[prngLfsr_ & kMask] >>= 1;
}

JKValue::SharedString JKTokenCache::cachedString(std::string_view bytes, std::uint64_t hash) {
  if (bytes.empty()) return jkEmptyString();
  std::size_t slot;
  return lookUp(bytes, hash, &slot);
}

JKValue::SharedString JKTokenCache::cachedKey(std::string_view bytes, std::uint64_t hash, std::uint64_t* keyHash) {
  if (bytes.empty()) {
    *keyHash = JKDictionary::hashKey(bytes);
    return jkEmptyString();
  }
  std::size_t slot;
  JKValue::SharedString key = lookUp(bytes, hash, &slot);
  if (slot == kNoSlot) {
    *keyHash = JKDictionary::hashKey(bytes);
    return key;
  }
  Item& item = items_[slot];
  if (!item.hasKeyHash) {
    item.keyHash = JKDictionary::hashKey(bytes);
    item.hasKeyHash = true;
  }
  *keyHash = item.keyHash;
  return key;
}

JKValue::SharedString JKTokenCache::lookUp(std::string_view bytes, std::uint64_t hash, std::size_t* found) {
  std::size_t usable = kSlotCount;  // none yet
  std::size_t slot = hash & kMask;
  for (int probe = 0; probe < kMaxProbes; ++probe) {
    Item& item = items_[slot];
    if (!item.object) {
      if (usable == kSlotCount) usable = slot;
      break;
    }
    if (item.hash == hash && item.size == bytes.size() && sameBytes(item.text, bytes.data(), bytes.size())) {
      age_[slot] = static_cast<std::uint8_t>(age_[slot] * 2 + 1);
      *found = slot;
      return item.object;
    }
    if (usable == kSlotCount) {
      if (age_[slot] == 0) {
        usable = slot;
      } else {
        age_[slot] >>= 1;
        ageRandomSlot();
        ageRandomSlot();
      }
    }
    slot = (hash + (bytes.size() + kStringValueType + 3) * static_cast<std::uint64_t>(probe + 1)) & kMask;
  }
  JKValue::SharedString object = strings_.make(bytes);
  *found = usable;
  if (usable != kSlotCount) {
    items_[usable] = Item{object, hash, object->data(), bytes.size(), 0, false};
    age_[usable] = 0;
  }
  return object;
}
