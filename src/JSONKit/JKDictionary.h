#pragma once
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "JKValue.h"

class JKDictionaryEnumerator;

// A JSON object: string keys to values, mutable or immutable for its whole life.
//
// An open-addressing hash table with linear probing. Its size comes from a
// fixed table of capacities (the smallest one not below 1.33 times the
// entries), which ends at 472907251 slots. Keys are shared immutable strings,
// so the keys the decoder reads once serve every record that repeats them.
// Keys are placed by jkKeyedStringHash of their bytes, a hash keyed per
// process, so a document cannot choose keys that all share one probe run;
// iteration runs in slot order. A table always keeps at least one empty slot.
// The slots hold indices into a dense array of the entries, so an empty slot
// costs four bytes rather than a whole entry.
//
// Dictionaries are always held by std::shared_ptr, so they are made only
// through create(). An immutable dictionary throws std::logic_error
// "*** -[JKDictionary <operation>]: mutating method sent to immutable object"
// from every mutator.
//
// Threads: as JKArray.
class JKDictionary : public std::enable_shared_from_this<JKDictionary> {
 public:
  using Key = JKValue::SharedString;
  // One slot: an empty slot has a null key, a null object and hash 0.
  struct Entry {
    std::uint64_t keyHash = 0;
    Key key;
    JKValue object;
  };

  // An empty dictionary (capacity 0; the first set grows it).
  static std::shared_ptr<JKDictionary> create(bool isMutable);
  // Takes the entries over, in order; a repeated key keeps its last value.
  // REQUIRES: every key is non-null and keyHash == hashKey(*key). Throws
  // std::length_error "Unable to allocate memory for hash table." when more
  // entries are given than the largest table holds.
  static std::shared_ptr<JKDictionary> create(std::vector<Entry> entries, bool isMutable);
  // The same, moving the `count` entries out of the array at `entries`.
  static std::shared_ptr<JKDictionary> create(Entry* entries, std::size_t count, bool isMutable);

  // jkKeyedStringHash of the key: the same within a process, different between processes.
  static std::uint64_t hashKey(std::string_view key);
  // The table capacity for `count` entries; 0 when it is beyond the table.
  static std::size_t capacityForCount(std::size_t count);

  std::size_t count() const noexcept { return entries_.size(); }
  std::size_t capacity() const noexcept { return slots_.size(); }
  bool isMutable() const noexcept { return mutations_ != 0; }
  std::uint64_t mutations() const noexcept { return mutations_; }

  // The value of the key, or null when absent. The pointer is valid until the
  // dictionary is next mutated.
  const JKValue* objectForKey(std::string_view key) const;

  // Mutators: throw on an immutable dictionary (see above).
  // Sets the value of a key: an existing entry is replaced in place (count
  // unchanged), a new one may grow the table (std::length_error "Unable to
  // allocate memory for hash table." past the largest capacity).
  void setObject(JKValue object, Key key);
  void setObject(JKValue object, std::string_view key);
  // Removes the key's entry when present (only then does mutations() advance).
  void removeObjectForKey(std::string_view key);

  // An immutable dictionary returns itself; a mutable one a new immutable
  // dictionary with the same entries (a shallow copy).
  std::shared_ptr<JKDictionary> copy() const;
  // A new mutable dictionary with the same entries.
  std::shared_ptr<JKDictionary> mutableCopy() const;

  // An enumerator of the keys in slot order; it holds the dictionary.
  JKDictionaryEnumerator keyEnumerator() const;

  // Iteration over the occupied slots (key and object) in slot order. An
  // iterator throws std::logic_error when the dictionary was mutated after the
  // iterator was made.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = const Entry*;
    using reference = const Entry&;
    const_iterator(const JKDictionary* dictionary, std::size_t slot);
    reference operator*() const;
    pointer operator->() const { return &**this; }
    const_iterator& operator++();
    bool operator==(const const_iterator& other) const {
      return slot_ == other.slot_ && dictionary_ == other.dictionary_;
    }
    bool operator!=(const const_iterator& other) const { return !(*this == other); }

   private:
    void checkMutations() const;
    void skipEmpty();
    const JKDictionary* dictionary_;
    std::size_t slot_;
    std::uint64_t mutations_;
  };
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, capacity()); }

  // The slot at an index below capacity() (empty slots included), for the
  // enumerator and for tests of the table's layout.
  const Entry& slotAtIndex(std::size_t index) const;

  friend bool operator==(const JKDictionary& a, const JKDictionary& b);
  friend bool operator!=(const JKDictionary& a, const JKDictionary& b) { return !(a == b); }

 private:
  struct Token {};

 public:
  JKDictionary(Token, std::size_t capacity, bool isMutable);  // use create()
  // Releases nested containers without recursion, so a graph of any depth can be freed.
  ~JKDictionary();

 private:
  friend class JKValueComparison;
  friend void jkReleaseWithoutRecursion(std::vector<JKValue>& values);
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);

  static std::size_t requiredCapacity(std::size_t count);
  std::size_t findSlot(std::string_view key, std::uint64_t hash) const;
  const Entry* find(std::string_view key, std::uint64_t hash) const;
  void add(Entry entry);
  void place(std::uint32_t index);
  void removeSlot(std::size_t slot);
  std::size_t slotOfIndex(std::uint32_t index) const;
  void growIfNeeded();
  void checkMutable(const char* operation) const;

  // Per table slot: 0 when empty, else 1 + the index of its entry in entries_.
  // Tables of up to kInlineSlots slots (objects of up to 30 keys, the usual
  // kind) are held inside the dictionary, one byte per slot; larger ones on
  // the heap, four bytes per slot.
  class SlotTable {
   public:
    static constexpr std::size_t kInlineSlots = 41;
    explicit SlotTable(std::size_t capacity);
    SlotTable(const SlotTable& other);
    SlotTable(SlotTable&&) noexcept = default;
    SlotTable& operator=(SlotTable&&) noexcept = default;
    std::size_t size() const noexcept { return capacity_; }
    std::uint32_t operator[](std::size_t slot) const noexcept { return heap_ ? heap_[slot] : inline_[slot]; }
    void set(std::size_t slot, std::uint32_t occupant) noexcept {
      if (heap_) {
        heap_[slot] = occupant;
      } else {
        inline_[slot] = static_cast<std::uint8_t>(occupant);
      }
    }

   private:
    std::size_t capacity_;
    std::unique_ptr<std::uint32_t[]> heap_;
    std::uint8_t inline_[kInlineSlots] = {};
  };
  SlotTable slots_;
  std::vector<Entry> entries_;
  std::uint64_t mutations_;
};
