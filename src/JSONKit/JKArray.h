#pragma once
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "JKValue.h"

// An array of JSON values, mutable or immutable for its whole life.
//
// Arrays are always held by std::shared_ptr (values refer to them), so they
// are made only through create(). An immutable array throws
// std::logic_error "*** -[JKArray <operation>]: mutating method sent to
// immutable object" from every mutator. Index errors throw std::out_of_range
// with "*** -[JKArray <operation>]: index (i) beyond bounds (n)".
//
// A mutable container may be made to hold itself; like any reference-counted
// graph with a cycle it is then never freed (and the serializer refuses it).
// Comparing and freeing never recurse, so neither such a cycle nor a graph
// nested a million levels deep can exhaust the call stack.
//
// Threads: an immutable array may be read from several threads at once; a
// mutable one is used by one thread at a time (REQUIRES external
// synchronization), like any standard container.
class JKArray : public std::enable_shared_from_this<JKArray> {
 public:
  // Takes the objects over (the parser moves its values in, without copies).
  static std::shared_ptr<JKArray> create(std::vector<JKValue> objects, bool isMutable);

  std::size_t count() const noexcept { return objects_.size(); }
  bool isMutable() const noexcept { return mutations_ != 0; }
  // 0 for an immutable array; advances with every mutation of a mutable one.
  std::uint64_t mutations() const noexcept { return mutations_; }

  // Throws std::out_of_range when index >= count().
  const JKValue& objectAtIndex(std::size_t index) const;
  // Copies the values [location, location + length) to `objects`. A null
  // destination with location + length above 0 throws std::out_of_range
  // "... pointer to objects array is NULL but range length is n"; a range past
  // count() throws the beyond-bounds message with location + length.
  void getObjects(JKValue* objects, std::size_t location, std::size_t length) const;

  // Mutators: throw on an immutable array (see above).
  // index may be count() (append); above it throws with bounds count() + 1.
  void insertObject(JKValue object, std::size_t index);
  void addObject(JKValue object) { insertObject(std::move(object), count()); }
  void removeObjectAtIndex(std::size_t index);
  void replaceObjectAtIndex(std::size_t index, JKValue object);

  // An immutable array returns itself; a mutable one a new immutable array
  // holding the same values (a shallow copy).
  std::shared_ptr<JKArray> copy() const;
  // A new mutable array holding the same values.
  std::shared_ptr<JKArray> mutableCopy() const;

  // Iteration in index order. An iterator throws std::logic_error when the
  // array was mutated after the iterator was made.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = JKValue;
    using difference_type = std::ptrdiff_t;
    using pointer = const JKValue*;
    using reference = const JKValue&;
    const_iterator(const JKArray* array, std::size_t index)
        : array_(array), index_(index), mutations_(array->mutations_) {}
    reference operator*() const;
    pointer operator->() const { return &**this; }
    const_iterator& operator++();
    bool operator==(const const_iterator& other) const { return index_ == other.index_ && array_ == other.array_; }
    bool operator!=(const const_iterator& other) const { return !(*this == other); }

   private:
    void checkMutations() const;
    const JKArray* array_;
    std::size_t index_;
    std::uint64_t mutations_;
  };
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, count()); }

  friend bool operator==(const JKArray& a, const JKArray& b);
  friend bool operator!=(const JKArray& a, const JKArray& b) { return !(a == b); }

 private:
  struct Token {};

 public:
  JKArray(Token, std::vector<JKValue> objects, bool isMutable);  // use create()
  // Releases nested containers without recursion, so a graph of any depth can be freed.
  ~JKArray();

 private:
  friend class JKValueComparison;
  friend void jkReleaseWithoutRecursion(std::vector<JKValue>& values);
  void checkMutable(const char* operation) const;
  void checkIndex(const char* operation, std::size_t index, std::size_t bound) const;
  void mutated();

  std::vector<JKValue> objects_;
  std::uint64_t mutations_;
};
