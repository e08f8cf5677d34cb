#include "JKTokenCache.h"

#include <gtest/gtest.h>

#include <string>

#include "JKStringHash.h"

namespace {

JKValue::SharedString cached(JKTokenCache& cache, const std::string& text) {
  return cache.cachedString(text, jkStringHash(text));
}

TEST(JKTokenCache, EqualBytesGiveTheSameObject) {
  JKTokenCache cache;
  auto a = cached(cache, "album");
  auto b = cached(cache, std::string("alb") + "um");
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(*a, "album");
  EXPECT_NE(cached(cache, "albun").get(), a.get());
  cache.clear();
  EXPECT_NE(cached(cache, "album").get(), a.get());
  EXPECT_EQ(*a, "album");  // the caller's object lives on
}

TEST(JKTokenCache, EmptyStringIsTheConstantAndNeverCached) {
  JKTokenCache cache;
  EXPECT_EQ(cached(cache, "").get(), jkEmptyString().get());
  EXPECT_FALSE(cache.objectAt(jkStringHash("") & (JKTokenCache::kSlotCount - 1)));
}

TEST(JKTokenCache, AgesGrowWithHitsAndHalveOnPassingProbes) {
  JKTokenCache cache;
  std::uint64_t hash = 42;  // any hash: the slot is hash & 1023
  auto first = cache.cachedString("x", hash);
  EXPECT_EQ(cache.ageAt(42), 0);
  for (int i = 0; i < 8; ++i) cache.cachedString("x", hash);
  EXPECT_EQ(cache.ageAt(42), 255);

  // A different value with the same hash passes through the slot and halves its age.
  auto other = cache.cachedString("y", hash);
  EXPECT_EQ(cache.ageAt(42), 127);
  EXPECT_NE(other.get(), first.get());
  EXPECT_EQ(cache.cachedString("x", hash).get(), first.get());  // still cached
}

TEST(JKTokenCache, SlotIsReplacedOnlyAtAgeZero) {
  JKTokenCache cache;
  auto first = cache.cachedString("x", 7);
  cache.cachedString("x", 7);  // age 1
  // "y" passes the slot (halving it to 0) and settles further along its probe.
  cache.cachedString("y", 7);
  EXPECT_EQ(cache.ageAt(7), 0);
  EXPECT_EQ(cache.objectAt(7).get(), first.get());
  // The next new value with that hash now takes slot 7 over.
  auto z = cache.cachedString("z", 7);
  EXPECT_EQ(cache.objectAt(7).get(), z.get());
}

}  // namespace
