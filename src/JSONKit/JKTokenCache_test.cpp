#include "JKTokenCache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JKDictionary.h"
#include "JKStringHash.h"

namespace {

JKValue::SharedString cached(JKTokenCache& cache, const std::string& text) {
  return cache.cachedString(text, jkStringHash(text));
}

TEST(JKTokenCache, EqualBytesGiveTheSameObjectUntilCleared) {
  JKTokenCache cache;
  auto a = cached(cache, "album");
  EXPECT_EQ(cached(cache, std::string("alb") + "um").get(), a.get());
  EXPECT_NE(cached(cache, "albun").get(), a.get());
  EXPECT_EQ(cached(cache, "").get(), jkEmptyString().get());
  EXPECT_FALSE(cache.objectAt(jkStringHash("") & 1023));  // the empty string takes no slot
  std::uint64_t keyHash = 0;
  EXPECT_EQ(cache.cachedKey("album", jkStringHash("album"), &keyHash).get(), a.get());
  EXPECT_EQ(keyHash, JKDictionary::hashKey("album"));
  cache.clear();
  EXPECT_NE(cached(cache, "album").get(), a.get());
  EXPECT_EQ(*a, "album");  // the caller's object lives on
}

// Values of one hash probe the slots h, h + 9, h + 18, h + 27 (a one-byte
// string: step size + 8), masked to 1024 slots. A hit doubles a slot's age
// plus one; a probe passing an aged slot halves it; only age 0 is replaced.
TEST(JKTokenCache, ProbesFourSlotsAndReplacesOnlyAgeZero) {
  JKTokenCache cache;
  const std::uint64_t hash = 1024 + 7;
  auto x = cache.cachedString("x", hash);
  for (int i = 0; i < 8; ++i) cache.cachedString("x", hash);
  EXPECT_EQ(cache.ageAt(7), 255);
  std::vector<std::string> chain = {"x"};
  // Hits, from the end of the chain back, leave every slot of it aged.
  auto refresh = [&] {
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      for (int i = 0; i < 4; ++i) cache.cachedString(*it, hash);
    }
  };
  for (std::size_t slot : {7, 16, 25, 34}) {
    if (slot != 7) {
      refresh();
      chain.push_back(std::string(1, static_cast<char>('a' + chain.size())));
    }
    auto value = cache.cachedString(chain.back(), hash);
    EXPECT_EQ(cache.objectAt(slot).get(), value.get()) << slot;
  }
  refresh();
  auto fifth = cache.cachedString("e", hash);  // all four slots aged: it stays uncached
  EXPECT_NE(cache.cachedString("e", hash).get(), fifth.get());
  EXPECT_FALSE(cache.objectAt(43));
  EXPECT_EQ(cache.cachedString("x", hash).get(), x.get());
  // Passing probes halve slot 7 down to 0; then the next new value takes it over.
  for (int i = 0; cache.ageAt(7) != 0; ++i) cache.cachedString("f" + std::to_string(i), hash);
  auto taker = cache.cachedString("g", hash);
  EXPECT_EQ(cache.objectAt(7).get(), taker.get());
}

// Each probe through an aged slot also halves the ages of two slots picked by
// the generator: from its start at 1 it picks slots 3 and then 2.
TEST(JKTokenCache, FailedProbesAgeTwoGeneratorSlots) {
  JKTokenCache cache;
  for (std::uint64_t slot : {2, 3, 7}) {
    for (int i = 0; i < 9; ++i) cache.cachedString("s" + std::to_string(slot), slot);
  }
  ASSERT_EQ(cache.ageAt(2), 255);
  cache.cachedString("other", 7);  // passes slot 7 once
  EXPECT_EQ(cache.ageAt(7), 127);
  EXPECT_EQ(cache.ageAt(3), 127);
  EXPECT_EQ(cache.ageAt(2), 127);
  EXPECT_EQ(cache.generator(), 0xC0300002u);
}

}  // namespace
