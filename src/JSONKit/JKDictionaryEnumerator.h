#pragma once
#include <cstddef>
#include <memory>
#include <vector>

#include "JKDictionary.h"

// Walks the keys of a dictionary in slot order. It holds the dictionary alive.
// Mutating the dictionary while enumerating is allowed and safe, but which
// keys are still returned is then unspecified.
class JKDictionaryEnumerator {
 public:
  explicit JKDictionaryEnumerator(std::shared_ptr<const JKDictionary> dictionary);
  // The next key, or null at the end.
  JKDictionary::Key nextObject();
  // The keys nextObject() would still return.
  std::vector<JKDictionary::Key> allObjects();

 private:
  std::shared_ptr<const JKDictionary> collection_;
  std::size_t nextObject_ = 0;
};
