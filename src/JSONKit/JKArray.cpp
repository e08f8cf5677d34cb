#include "JKArray.h"

#include <stdexcept>

#include "JKFormat.h"
#include "JKMutationCounter.h"
#include "JKValueComparison.h"

std::shared_ptr<JKArray> JKArray::create(std::vector<JKValue> objects, bool isMutable) {
  return std::make_shared<JKArray>(Token{}, std::move(objects), isMutable);
}

JKArray::JKArray(Token, std::vector<JKValue> objects, bool isMutable)
    : objects_(std::move(objects)), mutations_(isMutable ? 1 : 0) {}

JKArray::~JKArray() {
  std::vector<JKValue> nested;
  for (JKValue& object : objects_) jkTakeIfLastContainer(object, nested);
  jkReleaseWithoutRecursion(nested);
}

void JKArray::checkMutable(const char* operation) const {
  if (mutations_ == 0) {
    throw std::logic_error(jkFormat("*** -[%s %s]: mutating method sent to immutable object", "JKArray", operation));
  }
}

void JKArray::checkIndex(const char* operation, std::size_t index, std::size_t bound) const {
  if (index >= bound) {
    throw std::out_of_range(jkFormat("*** -[%s %s]: index (%lu) beyond bounds (%lu)", "JKArray", operation,
                                     static_cast<unsigned long>(index), static_cast<unsigned long>(count())));
  }
}

void JKArray::mutated() {
  mutations_ = jkNextMutation(mutations_);
}

const JKValue& JKArray::objectAtIndex(std::size_t index) const {
  checkIndex("objectAtIndex", index, count());
  return objects_[index];
}

void JKArray::getObjects(JKValue* objects, std::size_t location, std::size_t length) const {
  std::size_t end = location + length;
  if (end < location) end = static_cast<std::size_t>(-1);  // an overflowing range is past the end too
  if (objects == nullptr && end > 0) {
    throw std::out_of_range(jkFormat("*** -[%s %s]: pointer to objects array is NULL but range length is %lu",
                                     "JKArray", "getObjects", static_cast<unsigned long>(end)));
  }
  if (end > count()) {
    throw std::out_of_range(jkFormat("*** -[%s %s]: index (%lu) beyond bounds (%lu)", "JKArray", "getObjects",
                                     static_cast<unsigned long>(end), static_cast<unsigned long>(count())));
  }
  for (std::size_t i = location; i < end; ++i) objects[i - location] = objects_[i];
}

void JKArray::insertObject(JKValue object, std::size_t index) {
  checkMutable("insertObject");
  if (index > count()) {
    throw std::out_of_range(jkFormat("*** -[%s %s]: index (%lu) beyond bounds (%lu)", "JKArray", "insertObject",
                                     static_cast<unsigned long>(index), static_cast<unsigned long>(count() + 1)));
  }
  objects_.insert(objects_.begin() + static_cast<std::ptrdiff_t>(index), std::move(object));
  mutated();
}

void JKArray::removeObjectAtIndex(std::size_t index) {
  checkMutable("removeObjectAtIndex");
  checkIndex("removeObjectAtIndex", index, count());
  objects_.erase(objects_.begin() + static_cast<std::ptrdiff_t>(index));
  mutated();
}

void JKArray::replaceObjectAtIndex(std::size_t index, JKValue object) {
  checkMutable("replaceObjectAtIndex");
  checkIndex("replaceObjectAtIndex", index, count());
  objects_[index] = std::move(object);
  mutated();
}

std::shared_ptr<JKArray> JKArray::copy() const {
  // Nothing can change an immutable array, so sharing it is a copy.
  if (!isMutable()) return std::const_pointer_cast<JKArray>(shared_from_this());
  return create(objects_, false);
}

std::shared_ptr<JKArray> JKArray::mutableCopy() const {
  return create(objects_, true);
}

void JKArray::const_iterator::checkMutations() const {
  if (array_->mutations_ != mutations_) {
    throw std::logic_error("*** -[JKArray enumeration]: collection was mutated while being enumerated");
  }
}

JKArray::const_iterator::reference JKArray::const_iterator::operator*() const {
  checkMutations();
  return array_->objectAtIndex(index_);
}

JKArray::const_iterator& JKArray::const_iterator::operator++() {
  checkMutations();
  ++index_;
  return *this;
}

bool operator==(const JKArray& a, const JKArray& b) {
  return JKValueComparison::equal(a, b);
}
