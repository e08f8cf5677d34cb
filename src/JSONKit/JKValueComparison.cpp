#include "JKValueComparison.h"

#include <cmath>

#include "JKArray.h"
#include "JKDictionary.h"

namespace {

// Exact comparisons of a double with an integer: equal only when the double
// is integral and within the integer type's range.
bool doubleEqualsInt64(double d, std::int64_t i) {
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
  return std::trunc(d) == d && static_cast<std::int64_t>(d) == i;
}

bool doubleEqualsUint64(double d, std::uint64_t u) {
  if (!(d >= 0.0 && d < 18446744073709551616.0)) return false;
  return std::trunc(d) == d && static_cast<std::uint64_t>(d) == u;
}

bool numbersEqual(const JKValue& a, const JKValue& b) {
  using Kind = JKValue::Kind;
  if (a.kind() == Kind::Double && b.kind() == Kind::Double) return a.doubleValue() == b.doubleValue();
  if (a.kind() == Kind::Double) return numbersEqual(b, a);
  // a is an integer
  if (b.kind() == Kind::Double) {
    return a.kind() == Kind::Integer ? doubleEqualsInt64(b.doubleValue(), a.int64Value())
                                     : doubleEqualsUint64(b.doubleValue(), a.uint64Value());
  }
  if (a.kind() != b.kind()) return false;  // Integer never holds a value above INT64_MAX
  return a.kind() == Kind::Integer ? a.int64Value() == b.int64Value() : a.uint64Value() == b.uint64Value();
}

}  // namespace

bool JKValueComparison::equal(const JKValue& a, const JKValue& b) {
  JKValueComparison comparison;
  return comparison.compareValues(a, b) && comparison.run();
}

bool JKValueComparison::equal(const JKArray& a, const JKArray& b) {
  JKValueComparison comparison;
  comparison.schedule(&a, &b, true);
  return comparison.run();
}

bool JKValueComparison::equal(const JKDictionary& a, const JKDictionary& b) {
  JKValueComparison comparison;
  comparison.schedule(&a, &b, false);
  return comparison.run();
}

// Compares the pairs on the stack until it is empty or one differs.
bool JKValueComparison::run() {
  while (!pending_.empty()) {
    Pair pair = pending_.back();
    pending_.pop_back();
    bool same = pair.isArray ? compareArrays(*static_cast<const JKArray*>(pair.a), *static_cast<const JKArray*>(pair.b))
                             : compareDictionaries(*static_cast<const JKDictionary*>(pair.a),
                                                   *static_cast<const JKDictionary*>(pair.b));
    if (!same) return false;
  }
  return true;
}

void JKValueComparison::schedule(const void* a, const void* b, bool isArray) {
  if (a == b) return;  // one container is equal to itself
  Pair pair{a, b, isArray};
  if (seen_.insert(pair).second) pending_.push_back(pair);
}

// Scalars are compared at once; a pair of containers is put on the stack.
bool JKValueComparison::compareValues(const JKValue& a, const JKValue& b) {
  using Kind = JKValue::Kind;
  if (a.isNumber() && b.isNumber()) return numbersEqual(a, b);
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null: return true;
    case Kind::Boolean: return a.boolValue() == b.boolValue();
    case Kind::String: return a.sharedString() == b.sharedString() || *a.sharedString() == *b.sharedString();
    case Kind::Array: schedule(a.array().get(), b.array().get(), true); return true;
    case Kind::Dictionary: schedule(a.dictionary().get(), b.dictionary().get(), false); return true;
    default: return false;  // numbers were handled above
  }
}

bool JKValueComparison::compareArrays(const JKArray& a, const JKArray& b) {
  if (a.objects_.size() != b.objects_.size()) return false;
  for (std::size_t i = 0; i < a.objects_.size(); ++i) {
    if (!compareValues(a.objects_[i], b.objects_[i])) return false;
  }
  return true;
}

bool JKValueComparison::compareDictionaries(const JKDictionary& a, const JKDictionary& b) {
  if (a.count() != b.count()) return false;
  for (const JKDictionary::Entry& entry : a.entries_) {
    const JKDictionary::Entry* other = b.find(*entry.key, entry.keyHash);
    if (!other || !compareValues(entry.object, other->object)) return false;
  }
  return true;
}
