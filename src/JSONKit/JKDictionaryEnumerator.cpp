#include "JKDictionaryEnumerator.h"

JKDictionaryEnumerator::JKDictionaryEnumerator(std::shared_ptr<const JKDictionary> dictionary)
    : collection_(std::move(dictionary)) {}

JKDictionary::Key JKDictionaryEnumerator::nextObject() {
  while (nextObject_ < collection_->capacity()) {
    const JKDictionary::Entry& entry = collection_->slotAtIndex(nextObject_++);
    if (entry.key) return entry.key;
  }
  return nullptr;
}

std::vector<JKDictionary::Key> JKDictionaryEnumerator::allObjects() {
  std::vector<JKDictionary::Key> keys;
  while (JKDictionary::Key key = nextObject()) keys.push_back(std::move(key));
  return keys;
}
