#pragma once
#include <cstddef>
#include <functional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "JKValue.h"

// Deep equality of JSON values without recursion: numbers by value, strings
// by bytes, arrays element by element, dictionaries by their key-value pairs.
//
// Pairs of containers still to compare wait on an explicit stack, so the depth
// of a graph never reaches the call stack. Each pair of containers is compared
// once: a pair met again is taken as equal for now (it is on the stack, or
// already found equal), so a container that holds itself compares in finite
// time, and two graphs are unequal exactly when some reachable pair differs
// in a scalar, a count or a key.
//
// Any thread, as long as the values are not mutated during the comparison.
class JKValueComparison {
 public:
  static bool equal(const JKValue& a, const JKValue& b);
  static bool equal(const JKArray& a, const JKArray& b);
  static bool equal(const JKDictionary& a, const JKDictionary& b);

 private:
  struct Pair {
    const void* a;
    const void* b;
    bool isArray;
    bool operator==(const Pair& other) const { return a == other.a && b == other.b; }
  };
  struct PairHash {
    std::size_t operator()(const Pair& pair) const {
      return std::hash<const void*>()(pair.a) * 31 + std::hash<const void*>()(pair.b);
    }
  };

  bool run();
  bool compareValues(const JKValue& a, const JKValue& b);
  bool compareArrays(const JKArray& a, const JKArray& b);
  bool compareDictionaries(const JKDictionary& a, const JKDictionary& b);
  void schedule(const void* a, const void* b, bool isArray);

  std::vector<Pair> pending_;
  std::unordered_set<Pair, PairHash> seen_;
};
