#include "JKDictionary.h"

#include "JKDictionaryEnumerator.h"

#include <algorithm>
#include <stdexcept>

#include "JKFormat.h"
#include "JKMutationCounter.h"
#include "JKStringHash.h"

namespace {

// Table sizes, mostly primes, each roughly 1.6 times the one before.
constexpr std::size_t kCapacities[] = {
    0,        3,        7,         13,        23,        41,        71,        127,       191,       251,
    383,      631,      1087,      1723,      2803,      4523,      7351,      11959,     19447,     31231,
    50683,    81919,    132607,    214519,    346607,    561109,    907759,    1468927,   2376191,   3845119,
    6221311,  10066421, 16287743,  26354171,  42641881,  68996069,  111638519, 180634607, 292272623, 472907251};

const char* const kTableAllocationFailed = "Unable to allocate memory for hash table.";

}  // namespace

std::uint64_t JKDictionary::hashKey(std::string_view key) { return jkStringHash(key); }

// The smallest table size not below floor(count * 1.33), and above count so
// that a table always keeps an empty slot (only 3 entries would otherwise fill
// a table exactly). An empty slot bounds every probe run, which is what lets
// the serializer write a table so that parsing the text rebuilds the same layout.
std::size_t JKDictionary::capacityForCount(std::size_t count) {
  if (count == 0) return 0;
  if (count > kCapacities[std::size(kCapacities) - 1]) return 0;
  std::size_t wanted = std::max(count * 133 / 100, count + 1);  // the table ends far below any overflow
  const std::size_t* found = std::lower_bound(std::begin(kCapacities), std::end(kCapacities), wanted);
  return found == std::end(kCapacities) ? 0 : *found;
}

std::size_t JKDictionary::requiredCapacity(std::size_t count) {
  std::size_t capacity = capacityForCount(count);
  if (capacity == 0 && count > 0) throw std::length_error(kTableAllocationFailed);
  return capacity;
}

std::shared_ptr<JKDictionary> JKDictionary::create(bool isMutable) {
  return std::make_shared<JKDictionary>(Token{}, 0, isMutable);
}

std::shared_ptr<JKDictionary> JKDictionary::create(std::vector<Entry> entries, bool isMutable) {
  return create(entries.data(), entries.size(), isMutable);
}

std::shared_ptr<JKDictionary> JKDictionary::create(Entry* entries, std::size_t count, bool isMutable) {
  auto dictionary = std::make_shared<JKDictionary>(Token{}, requiredCapacity(count), isMutable);
  for (std::size_t i = 0; i < count; ++i) dictionary->add(std::move(entries[i]));
  return dictionary;
}

JKDictionary::JKDictionary(Token, std::size_t capacity, bool isMutable)
    : table_(capacity), mutations_(isMutable ? 1 : 0) {}

const JKDictionary::Entry* JKDictionary::find(std::string_view key, std::uint64_t hash) const {
  std::size_t capacity = table_.size();
  if (capacity == 0) return nullptr;
  std::size_t start = hash % capacity;
  for (std::size_t i = 0; i < capacity; ++i) {
    const Entry& entry = table_[(start + i) % capacity];
    if (!entry.key) return nullptr;
    if (entry.keyHash == hash && *entry.key == key) return &entry;
  }
  return nullptr;
}

JKDictionary::Entry* JKDictionary::find(std::string_view key, std::uint64_t hash) {
  return const_cast<Entry*>(static_cast<const JKDictionary*>(this)->find(key, hash));
}

// Places an entry: an equal key has its value replaced where it stands,
// otherwise the first empty slot of the probe takes it. The callers keep the
// table larger than its entries, so an empty slot always exists.
void JKDictionary::add(Entry entry) {
  std::size_t capacity = table_.size();
  std::size_t start = entry.keyHash % capacity;
  for (std::size_t i = 0; i < capacity; ++i) {
    Entry& slot = table_[(start + i) % capacity];
    if (!slot.key) {
      slot = std::move(entry);
      ++count_;
      return;
    }
    if (slot.keyHash == entry.keyHash && *slot.key == *entry.key) {
      slot.object = std::move(entry.object);
      return;
    }
  }
  throw std::length_error(kTableAllocationFailed);  // a full table: unreachable while the sizes hold
}

// Clears a slot, then moves each following entry of the probe run back to the
// first free slot of its own probe, so later finds still reach it.
void JKDictionary::removeEntry(std::size_t slot) {
  std::size_t capacity = table_.size();
  table_[slot] = Entry();
  --count_;
  for (std::size_t i = 1; i < capacity; ++i) {
    std::size_t index = (slot + i) % capacity;
    if (!table_[index].key) break;
    Entry moved = std::move(table_[index]);
    table_[index] = Entry();
    --count_;
    add(std::move(moved));
  }
}

void JKDictionary::growIfNeeded() {
  std::size_t needed = requiredCapacity(count_ + 1);
  if (needed <= table_.size()) return;
  std::vector<Entry> old(needed);
  old.swap(table_);
  count_ = 0;
  for (Entry& entry : old) {
    if (entry.key) add(std::move(entry));
  }
}

void JKDictionary::checkMutable(const char* operation) const {
  if (mutations_ == 0) {
    throw std::logic_error(
        jkFormat("*** -[%s %s]: mutating method sent to immutable object", "JKDictionary", operation));
  }
}

const JKValue* JKDictionary::objectForKey(std::string_view key) const {
  const Entry* entry = find(key, hashKey(key));
  return entry ? &entry->object : nullptr;
}

void JKDictionary::setObject(JKValue object, Key key) {
  checkMutable("setObject");
  if (!key) key = jkEmptyString();
  std::uint64_t hash = hashKey(*key);
  if (Entry* existing = find(*key, hash)) {
    existing->object = std::move(object);
  } else {
    growIfNeeded();
    add(Entry{hash, std::move(key), std::move(object)});
  }
  mutations_ = jkNextMutation(mutations_);
}

void JKDictionary::setObject(JKValue object, std::string_view key) {
  setObject(std::move(object), key.empty() ? jkEmptyString() : std::make_shared<const std::string>(key));
}

void JKDictionary::removeObjectForKey(std::string_view key) {
  checkMutable("removeObjectForKey");
  Entry* entry = find(key, hashKey(key));
  if (!entry) return;
  removeEntry(static_cast<std::size_t>(entry - table_.data()));
  mutations_ = jkNextMutation(mutations_);
}

std::shared_ptr<JKDictionary> JKDictionary::copy() const {
  if (!isMutable()) return std::const_pointer_cast<JKDictionary>(shared_from_this());
  auto copied = mutableCopy();
  copied->mutations_ = 0;
  return copied;
}

std::shared_ptr<JKDictionary> JKDictionary::mutableCopy() const {
  auto copied = std::make_shared<JKDictionary>(Token{}, 0, true);
  copied->table_ = table_;
  copied->count_ = count_;
  return copied;
}

JKDictionaryEnumerator JKDictionary::keyEnumerator() const { return JKDictionaryEnumerator(shared_from_this()); }

JKDictionary::const_iterator::const_iterator(const JKDictionary* dictionary, std::size_t slot)
    : dictionary_(dictionary), slot_(slot), mutations_(dictionary->mutations_) {
  skipEmpty();
}

void JKDictionary::const_iterator::skipEmpty() {
  while (slot_ < dictionary_->table_.size() && !dictionary_->table_[slot_].key) ++slot_;
}

void JKDictionary::const_iterator::checkMutations() const {
  if (dictionary_->mutations_ != mutations_) {
    throw std::logic_error("*** -[JKDictionary enumeration]: collection was mutated while being enumerated");
  }
}

JKDictionary::const_iterator::reference JKDictionary::const_iterator::operator*() const {
  checkMutations();
  return dictionary_->table_.at(slot_);
}

JKDictionary::const_iterator& JKDictionary::const_iterator::operator++() {
  checkMutations();
  ++slot_;
  skipEmpty();
  return *this;
}

bool operator==(const JKDictionary& a, const JKDictionary& b) {
  if (&a == &b) return true;
  if (a.count_ != b.count_) return false;
  for (const JKDictionary::Entry& entry : a.table_) {
    if (!entry.key) continue;
    const JKDictionary::Entry* other = b.find(*entry.key, entry.keyHash);
    if (!other || !(other->object == entry.object)) return false;
  }
  return true;
}
