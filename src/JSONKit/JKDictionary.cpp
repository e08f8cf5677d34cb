#include "JKDictionary.h"

#include "JKDictionaryEnumerator.h"

#include <algorithm>
#include <stdexcept>

#include "JKFormat.h"
#include "JKMutationCounter.h"
#include "JKStringHash.h"
#include "JKValueComparison.h"

namespace {

// Table sizes, mostly primes, each roughly 1.6 times the one before.
constexpr std::size_t kCapacities[] = {
    0,       3,        7,        13,       23,       41,       71,        127,       191,       251,
    383,     631,      1087,     1723,     2803,     4523,     7351,      11959,     19447,     31231,
    50683,   81919,    132607,   214519,   346607,   561109,   907759,    1468927,   2376191,   3845119,
    6221311, 10066421, 16287743, 26354171, 42641881, 68996069, 111638519, 180634607, 292272623, 472907251};

const char* const kTableAllocationFailed = "Unable to allocate memory for hash table.";

}  // namespace

std::uint64_t JKDictionary::hashKey(std::string_view key) {
  return jkKeyedStringHash(key);
}

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
  dictionary->entries_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) dictionary->add(std::move(entries[i]));
  return dictionary;
}

JKDictionary::JKDictionary(Token, std::size_t capacity, bool isMutable)
    : slots_(capacity), mutations_(isMutable ? 1 : 0) {}

JKDictionary::SlotTable::SlotTable(std::size_t capacity) : capacity_(capacity) {
  if (capacity > kInlineSlots) heap_.reset(new std::uint32_t[capacity]());
}

JKDictionary::SlotTable::SlotTable(const SlotTable& other) : SlotTable(other.capacity_) {
  for (std::size_t slot = 0; slot < capacity_; ++slot) set(slot, other[slot]);
}

JKDictionary::~JKDictionary() {
  std::vector<JKValue> nested;
  for (Entry& entry : entries_) jkTakeIfLastContainer(entry.object, nested);
  jkReleaseWithoutRecursion(nested);
}

const JKDictionary::Entry& JKDictionary::slotAtIndex(std::size_t index) const {
  static const Entry empty;
  std::uint32_t occupant = slots_[index];
  return occupant ? entries_[occupant - 1] : empty;
}

std::size_t JKDictionary::findSlot(std::string_view key, std::uint64_t hash) const {
  std::size_t capacity = slots_.size();
  if (capacity == 0) return kNoSlot;
  std::size_t slot = hash % capacity;
  for (std::size_t i = 0; i < capacity; ++i) {
    std::uint32_t occupant = slots_[slot];
    if (!occupant) return kNoSlot;
    const Entry& entry = entries_[occupant - 1];
    if (entry.keyHash == hash && *entry.key == key) return slot;
    if (++slot == capacity) slot = 0;
  }
  return kNoSlot;
}

const JKDictionary::Entry* JKDictionary::find(std::string_view key, std::uint64_t hash) const {
  std::size_t slot = findSlot(key, hash);
  return slot == kNoSlot ? nullptr : &entries_[slots_[slot] - 1];
}

// Places an entry: an equal key has its value replaced where it stands,
// otherwise the first empty slot of the probe takes it. The callers keep the
// table larger than its entries, so an empty slot always exists.
void JKDictionary::add(Entry entry) {
  std::size_t capacity = slots_.size();
  std::size_t slot = entry.keyHash % capacity;
  for (std::size_t i = 0; i < capacity; ++i) {
    std::uint32_t occupant = slots_[slot];
    if (!occupant) {
      entries_.push_back(std::move(entry));
      slots_.set(slot, static_cast<std::uint32_t>(entries_.size()));
      return;
    }
    Entry& existing = entries_[occupant - 1];
    if (existing.keyHash == entry.keyHash && *existing.key == *entry.key) {
      existing.object = std::move(entry.object);
      return;
    }
    if (++slot == capacity) slot = 0;
  }
  throw std::length_error(kTableAllocationFailed);  // a full table: unreachable while the sizes hold
}

// Puts the entry at `index` into the first empty slot of its probe.
void JKDictionary::place(std::uint32_t index) {
  std::size_t capacity = slots_.size();
  std::size_t slot = entries_[index].keyHash % capacity;
  while (slots_[slot]) {
    if (++slot == capacity) slot = 0;
  }
  slots_.set(slot, index + 1);
}

std::size_t JKDictionary::slotOfIndex(std::uint32_t index) const {
  std::size_t capacity = slots_.size();
  std::size_t slot = entries_[index].keyHash % capacity;
  while (slots_[slot] != index + 1) {
    if (++slot == capacity) slot = 0;
  }
  return slot;
}

// Clears a slot, then moves each following entry of the probe run back to the
// first free slot of its own probe, so later finds still reach it. The last
// entry of the dense array then fills the removed one's place there.
void JKDictionary::removeSlot(std::size_t slot) {
  std::size_t capacity = slots_.size();
  std::uint32_t removed = slots_[slot] - 1;
  slots_.set(slot, 0);
  for (std::size_t i = 1; i < capacity; ++i) {
    std::size_t index = (slot + i) % capacity;
    if (!slots_[index]) break;
    std::uint32_t moved = slots_[index] - 1;
    slots_.set(index, 0);
    place(moved);
  }
  auto last = static_cast<std::uint32_t>(entries_.size() - 1);
  if (removed != last) {
    slots_.set(slotOfIndex(last), removed + 1);
    std::swap(entries_[removed], entries_[last]);
  }
  entries_.pop_back();
}

void JKDictionary::growIfNeeded() {
  std::size_t needed = requiredCapacity(count() + 1);
  if (needed <= slots_.size()) return;
  SlotTable old(needed);
  std::swap(old, slots_);
  for (std::size_t slot = 0; slot < old.size(); ++slot) {
    if (std::uint32_t occupant = old[slot]) place(occupant - 1);
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
  if (std::size_t slot = findSlot(*key, hash); slot != kNoSlot) {
    entries_[slots_[slot] - 1].object = std::move(object);
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
  std::size_t slot = findSlot(key, hashKey(key));
  if (slot == kNoSlot) return;
  removeSlot(slot);
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
  copied->slots_ = SlotTable(slots_);
  copied->entries_ = entries_;
  return copied;
}

JKDictionaryEnumerator JKDictionary::keyEnumerator() const {
  return JKDictionaryEnumerator(shared_from_this());
}

JKDictionary::const_iterator::const_iterator(const JKDictionary* dictionary, std::size_t slot)
    : dictionary_(dictionary), slot_(slot), mutations_(dictionary->mutations_) {
  skipEmpty();
}

void JKDictionary::const_iterator::skipEmpty() {
  while (slot_ < dictionary_->slots_.size() && !dictionary_->slots_[slot_]) ++slot_;
}

void JKDictionary::const_iterator::checkMutations() const {
  if (dictionary_->mutations_ != mutations_) {
    throw std::logic_error("*** -[JKDictionary enumeration]: collection was mutated while being enumerated");
  }
}

JKDictionary::const_iterator::reference JKDictionary::const_iterator::operator*() const {
  checkMutations();
  if (slot_ >= dictionary_->slots_.size()) throw std::out_of_range("*** -[JKDictionary enumeration]: past the end");
  return dictionary_->slotAtIndex(slot_);
}

JKDictionary::const_iterator& JKDictionary::const_iterator::operator++() {
  checkMutations();
  ++slot_;
  skipEmpty();
  return *this;
}

bool operator==(const JKDictionary& a, const JKDictionary& b) {
  return JKValueComparison::equal(a, b);
}
