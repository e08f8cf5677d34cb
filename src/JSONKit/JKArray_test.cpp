#include "JKArray.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "JKDictionary.h"

namespace {

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

TEST(JKArray, ImmutableArrayRefusesEveryMutator) {
  auto array = JKArray::create({1, 2}, false);
  const std::pair<std::function<void()>, const char*> mutators[] = {
      {[&] { array->insertObject(3, 0); }, "insertObject"},
      {[&] { array->addObject(3); }, "insertObject"},
      {[&] { array->removeObjectAtIndex(0); }, "removeObjectAtIndex"},
      {[&] { array->replaceObjectAtIndex(0, 9); }, "replaceObjectAtIndex"},
  };
  for (const auto& [mutate, name] : mutators) {
    EXPECT_EQ(messageOf(mutate), std::string("*** -[JKArray ") + name + "]: mutating method sent to immutable object");
  }
  EXPECT_THROW(array->insertObject(3, 0), std::logic_error);
  EXPECT_EQ(array->count(), 2u);
  EXPECT_EQ(array->mutations(), 0u);
}

TEST(JKArray, MutatorsAndBounds) {
  auto array = JKArray::create({}, true);
  EXPECT_EQ(array->mutations(), 1u);
  array->insertObject("b", 0);
  array->insertObject("a", 0);
  array->insertObject("c", array->count());  // index count appends
  EXPECT_EQ(array->mutations(), 4u);
  EXPECT_EQ(messageOf([&] { array->insertObject("x", 4); }),
            "*** -[JKArray insertObject]: index (4) beyond bounds (4)");
  EXPECT_EQ(messageOf([&] { array->objectAtIndex(3); }), "*** -[JKArray objectAtIndex]: index (3) beyond bounds (3)");
  EXPECT_THROW(array->removeObjectAtIndex(3), std::out_of_range);
  EXPECT_THROW(array->replaceObjectAtIndex(3, 1), std::out_of_range);

  JKValue out[2];
  array->getObjects(out, 1, 2);
  EXPECT_EQ(out[1].stringValue(), "c");
  array->getObjects(nullptr, 0, 0);  // nothing asked, nothing written
  EXPECT_EQ(messageOf([&] { array->getObjects(nullptr, 1, 1); }),
            "*** -[JKArray getObjects]: pointer to objects array is NULL but range length is 2");
  EXPECT_EQ(messageOf([&] { array->getObjects(out, 2, 2); }), "*** -[JKArray getObjects]: index (4) beyond bounds (3)");
  EXPECT_THROW(array->getObjects(out, std::numeric_limits<std::size_t>::max(), 2), std::out_of_range);

  array->replaceObjectAtIndex(1, "B");
  array->removeObjectAtIndex(2);  // the last one
  array->removeObjectAtIndex(0);
  ASSERT_EQ(array->count(), 1u);
  EXPECT_EQ(array->objectAtIndex(0).stringValue(), "B");
}

TEST(JKArray, CopiesAndIteration) {
  auto fixed = JKArray::create({1, "two"}, false);
  EXPECT_EQ(fixed->copy().get(), fixed.get());
  auto open = fixed->mutableCopy();
  open->addObject(3.5);
  auto frozen = open->copy();
  EXPECT_NE(frozen.get(), open.get());
  EXPECT_FALSE(frozen->isMutable());
  EXPECT_EQ(*frozen, *open);
  EXPECT_EQ(fixed->count(), 2u);
  EXPECT_EQ(std::distance(frozen->begin(), frozen->end()), 3);
  EXPECT_THROW(
      {
        for (const JKValue& value : *open) {
          if (value.isNumber()) open->addObject(0);
        }
      },
      std::logic_error);
}

// A graph a million levels deep, built through the API, alternating arrays
// and dictionaries: freeing and comparing it must not use the call stack.
JKValue deepGraph(int depth, int leaf) {
  JKValue value(leaf);
  for (int i = 0; i < depth; ++i) {
    if (i % 2) {
      auto d = JKDictionary::create(true);
      d->setObject(value, "k");
      value = JKValue(d);
    } else {
      value = JKValue(JKArray::create({value}, true));
    }
  }
  return value;
}

TEST(JKArray, DeepGraphsCompareAndFreeWithoutRecursion) {
  JKValue a = deepGraph(1000000, 1);
  EXPECT_TRUE(a == deepGraph(1000000, 1));
  EXPECT_FALSE(a == deepGraph(1000000, 2));
  a = JKValue();  // frees it
}

TEST(JKArray, SelfContainingArraysCompare) {
  auto a = JKArray::create({1}, true);
  auto b = JKArray::create({1}, true);
  auto c = JKArray::create({2}, true);
  for (auto& array : {a, b, c}) array->addObject(JKValue(array));
  EXPECT_TRUE(*a == *b);
  EXPECT_FALSE(*a == *c);
  EXPECT_TRUE(JKValue(a) == JKValue(b));
  for (auto& array : {a, b, c}) array->removeObjectAtIndex(1);  // break the cycles so nothing leaks
}

}  // namespace
