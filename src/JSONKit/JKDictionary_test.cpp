#include "JKDictionary.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

#include "JKDictionaryEnumerator.h"
#include "JKStringHash.h"
#include "JSONKitDeserializing.h"

namespace {

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

TEST(JKDictionary, CapacityTable) {
  EXPECT_EQ(JKDictionary::capacityForCount(0), 0u);
  EXPECT_EQ(JKDictionary::capacityForCount(1), 3u);
  EXPECT_EQ(JKDictionary::capacityForCount(3), 7u);  // 3 would leave no empty slot
  EXPECT_EQ(JKDictionary::capacityForCount(355569362), 472907251u);
  EXPECT_EQ(JKDictionary::capacityForCount(355569363), 0u);  // beyond the table
}

TEST(JKDictionary, ImmutableDictionaryRefusesEveryMutator) {
  auto d = JKDictionary::create({{JKDictionary::hashKey("k"), std::make_shared<const std::string>("k"), 1},
                                 {JKDictionary::hashKey("k"), std::make_shared<const std::string>("k"), 3}},
                                false);
  EXPECT_EQ(messageOf([&] { d->setObject(2, "k"); }),
            "*** -[JKDictionary setObject]: mutating method sent to immutable object");
  EXPECT_EQ(messageOf([&] { d->removeObjectForKey("k"); }),
            "*** -[JKDictionary removeObjectForKey]: mutating method sent to immutable object");
  EXPECT_EQ(d->count(), 1u);
  EXPECT_EQ(*d->objectForKey("k"), JKValue(3));  // a repeated key keeps its last value
}

TEST(JKDictionary, SetReplacesInPlaceAndRemoveCountsOnlyRealRemovals) {
  auto d = JKDictionary::create(true);
  EXPECT_EQ(d->capacity(), 0u);
  EXPECT_EQ(d->objectForKey("a"), nullptr);
  d->setObject(1, "a");
  EXPECT_EQ(d->capacity(), 3u);  // an empty dictionary grows on the first set
  d->setObject(2, "b");
  std::uint64_t before = d->mutations();
  d->setObject(3, "a");
  EXPECT_EQ(d->count(), 2u);
  EXPECT_EQ(*d->objectForKey("a"), JKValue(3));
  EXPECT_EQ(d->mutations(), before + 1);
  d->removeObjectForKey("missing");
  EXPECT_EQ(d->mutations(), before + 1);
  d->removeObjectForKey("a");
  EXPECT_EQ(d->mutations(), before + 2);
  EXPECT_EQ(d->count(), 1u);
  EXPECT_EQ(d->objectForKey("a"), nullptr);
  d->setObject(4, "");  // the empty key is a key like any other
  EXPECT_EQ(*d->objectForKey(""), JKValue(4));
}

// Keys that all land on the same slot form one probe chain; removing from its
// middle must leave every other key reachable.
TEST(JKDictionary, RemovingFromTheMiddleOfAProbeChainKeepsEveryKeyFindable) {
  auto d = JKDictionary::create(true);
  for (int i = 0; i < 20; ++i) d->setObject(i, "filler" + std::to_string(i));
  const std::size_t capacity = d->capacity();
  std::vector<std::string> chain;
  std::uint64_t target = JKDictionary::hashKey("c0") % capacity;
  for (int i = 0; chain.size() < 4; ++i) {
    std::string key = "c" + std::to_string(i);
    if (JKDictionary::hashKey(key) % capacity == target) chain.push_back(key);
  }
  for (const std::string& key : chain) d->setObject(JKValue(key), key);
  ASSERT_EQ(d->capacity(), capacity);  // no regrowth hid the chain
  d->removeObjectForKey(chain[1]);
  EXPECT_EQ(d->objectForKey(chain[1]), nullptr);
  for (std::size_t i = 0; i < chain.size(); ++i) {
    if (i == 1) continue;
    ASSERT_NE(d->objectForKey(chain[i]), nullptr) << chain[i];
    EXPECT_EQ(d->objectForKey(chain[i])->stringValue(), chain[i]);
  }
  for (int i = 0; i < 20; ++i) EXPECT_NE(d->objectForKey("filler" + std::to_string(i)), nullptr);
}

TEST(JKDictionary, RandomOperationsAgreeWithAStandardMap) {
  std::mt19937 random(7);
  auto d = JKDictionary::create(true);
  std::map<std::string, int> expected;
  for (int step = 0; step < 20000; ++step) {
    std::string key = "k" + std::to_string(random() % 300);
    if (random() % 3 == 0) {
      d->removeObjectForKey(key);
      expected.erase(key);
    } else {
      int value = static_cast<int>(random() % 1000);
      d->setObject(value, key);
      expected[key] = value;
    }
  }
  ASSERT_EQ(d->count(), expected.size());
  for (const auto& [key, value] : expected) {
    const JKValue* found = d->objectForKey(key);
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(*found, JKValue(value));
  }
  std::size_t iterated = 0;
  for (const JKDictionary::Entry& entry : *d) {
    EXPECT_EQ(expected.count(*entry.key), 1u);
    ++iterated;
  }
  EXPECT_EQ(iterated, expected.size());
}

TEST(JKDictionary, CopiesEnumeratorAndEquality) {
  auto d = JKDictionary::create(true);
  d->setObject("x", "one");
  d->setObject(2, "two");
  auto frozen = d->copy();
  EXPECT_FALSE(frozen->isMutable());
  EXPECT_EQ(frozen->copy().get(), frozen.get());
  EXPECT_EQ(*frozen, *d);
  auto open = frozen->mutableCopy();
  open->setObject(3, "three");
  EXPECT_NE(*open, *d);
  EXPECT_EQ(d->count(), 2u);

  JKDictionaryEnumerator enumerator = d->keyEnumerator();
  JKDictionary::Key first = enumerator.nextObject();
  std::vector<JKDictionary::Key> rest = enumerator.allObjects();
  ASSERT_TRUE(first && rest.size() == 1u);
  EXPECT_NE(*first, *rest[0]);
  EXPECT_FALSE(enumerator.nextObject());

  EXPECT_THROW(
      {
        for (const JKDictionary::Entry& entry : *d) d->setObject(1, *entry.key + "!");
      },
      std::logic_error);
}

// Keys built from the blocks "Ez" and "FY" all share one jkStringHash, the
// hash the tokenizer computes. Placed by it, every key would start its probe
// at the same slot and parsing would grow quadratic in the number of keys.
TEST(JKDictionary, KeysSharingTheTokenizerHashStillSpreadOverTheTable) {
  const int blocks = 12;  // 4096 keys
  std::string text = "{";
  std::string first;
  for (int n = 0; n < (1 << blocks); ++n) {
    std::string key;
    for (int b = 0; b < blocks; ++b) key += (n >> b & 1) ? "FY" : "Ez";
    if (n == 0) first = key;
    EXPECT_EQ(jkStringHash(key), jkStringHash(first));
    text += (n ? ",\"" : "\"") + key + "\":" + std::to_string(n);
  }
  std::optional<JKValue> parsed = objectFromJSONString(text + "}");
  ASSERT_TRUE(parsed);
  const JKDictionary& d = *parsed->dictionary();
  ASSERT_EQ(d.count(), 4096u);
  // Mean distance of an entry from the slot its hash names: about 1.6 for a
  // table this full with well-spread hashes, about 2048 when all collide.
  std::size_t distances = 0;
  for (std::size_t slot = 0; slot < d.capacity(); ++slot) {
    const JKDictionary::Entry& entry = d.slotAtIndex(slot);
    if (entry.key) distances += (slot + d.capacity() - entry.keyHash % d.capacity()) % d.capacity();
  }
  EXPECT_LT(distances / d.count(), 8u);
  EXPECT_EQ(*d.objectForKey(first), JKValue(0));
}

}  // namespace
