#include "JKValue.h"

#include <cmath>
#include <limits>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JKValueComparison.h"

const JKValue::SharedString& jkEmptyString() {
  static const JKValue::SharedString empty = std::make_shared<const std::string>();
  return empty;
}

JKValue::JKValue(const char* text) {
  if (text) storage_ = SharedString(std::make_shared<const std::string>(text));
}

JKValue::JKValue(std::string text) : storage_(SharedString(std::make_shared<const std::string>(std::move(text)))) {}

JKValue::JKValue(std::string_view text) : storage_(SharedString(std::make_shared<const std::string>(text))) {}

JKValue::JKValue(SharedString text) noexcept {
  if (text) storage_ = std::move(text);
}

JKValue::JKValue(std::shared_ptr<JKArray> array) noexcept {
  if (array) storage_ = std::move(array);
}

JKValue::JKValue(std::shared_ptr<JKDictionary> dictionary) noexcept {
  if (dictionary) storage_ = std::move(dictionary);
}

void JKValue::setUnsigned(std::uint64_t value) noexcept {
  if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    storage_ = static_cast<std::int64_t>(value);
  } else {
    storage_ = value;
  }
}

bool JKValue::isNumber() const noexcept {
  Kind k = kind();
  return k == Kind::Integer || k == Kind::UnsignedInteger || k == Kind::Double;
}

const char* JKValue::kindName() const noexcept {
  switch (kind()) {
    case Kind::Null: return "null";
    case Kind::Boolean: return "boolean";
    case Kind::Integer: return "integer";
    case Kind::UnsignedInteger: return "unsigned integer";
    case Kind::Double: return "double";
    case Kind::String: return "string";
    case Kind::Array: return "JKArray";
    case Kind::Dictionary: return "JKDictionary";
  }
  return "unknown";
}

namespace {

template <typename Integer>
Integer saturatingCast(double value) {
  if (std::isnan(value)) return 0;
  if (value <= static_cast<double>(std::numeric_limits<Integer>::min())) return std::numeric_limits<Integer>::min();
  if (value >= static_cast<double>(std::numeric_limits<Integer>::max())) return std::numeric_limits<Integer>::max();
  return static_cast<Integer>(value);
}

}  // namespace

bool JKValue::boolValue() const noexcept {
  switch (kind()) {
    case Kind::Boolean: return std::get<bool>(storage_);
    case Kind::Integer: return std::get<std::int64_t>(storage_) != 0;
    case Kind::UnsignedInteger: return std::get<std::uint64_t>(storage_) != 0;
    case Kind::Double: return std::get<double>(storage_) != 0.0;
    default: return false;
  }
}

std::int64_t JKValue::int64Value() const noexcept {
  switch (kind()) {
    case Kind::Boolean: return std::get<bool>(storage_) ? 1 : 0;
    case Kind::Integer: return std::get<std::int64_t>(storage_);
    case Kind::UnsignedInteger: return static_cast<std::int64_t>(std::get<std::uint64_t>(storage_));
    case Kind::Double: return saturatingCast<std::int64_t>(std::get<double>(storage_));
    default: return 0;
  }
}

std::uint64_t JKValue::uint64Value() const noexcept {
  switch (kind()) {
    case Kind::Boolean: return std::get<bool>(storage_) ? 1 : 0;
    case Kind::Integer: return static_cast<std::uint64_t>(std::get<std::int64_t>(storage_));
    case Kind::UnsignedInteger: return std::get<std::uint64_t>(storage_);
    case Kind::Double: return saturatingCast<std::uint64_t>(std::get<double>(storage_));
    default: return 0;
  }
}

double JKValue::doubleValue() const noexcept {
  switch (kind()) {
    case Kind::Boolean: return std::get<bool>(storage_) ? 1.0 : 0.0;
    case Kind::Integer: return static_cast<double>(std::get<std::int64_t>(storage_));
    case Kind::UnsignedInteger: return static_cast<double>(std::get<std::uint64_t>(storage_));
    case Kind::Double: return std::get<double>(storage_);
    default: return 0.0;
  }
}

const std::string& JKValue::stringValue() const noexcept {
  static const std::string empty;
  const SharedString& text = sharedString();
  return text ? *text : empty;
}

const JKValue::SharedString& JKValue::sharedString() const noexcept {
  static const SharedString none;
  const SharedString* text = std::get_if<SharedString>(&storage_);
  return text ? *text : none;
}

const std::shared_ptr<JKArray>& JKValue::array() const noexcept {
  static const std::shared_ptr<JKArray> none;
  const auto* array = std::get_if<std::shared_ptr<JKArray>>(&storage_);
  return array ? *array : none;
}

const std::shared_ptr<JKDictionary>& JKValue::dictionary() const noexcept {
  static const std::shared_ptr<JKDictionary> none;
  const auto* dictionary = std::get_if<std::shared_ptr<JKDictionary>>(&storage_);
  return dictionary ? *dictionary : none;
}

bool operator==(const JKValue& a, const JKValue& b) {
  return JKValueComparison::equal(a, b);
}

namespace {

bool isLastHeldContainer(const JKValue& value) {
  if (value.isArray()) return value.array().use_count() == 1;
  if (value.isDictionary()) return value.dictionary().use_count() == 1;
  return false;
}

}  // namespace

void jkTakeIfLastContainer(JKValue& value, std::vector<JKValue>& into) {
  if (isLastHeldContainer(value)) into.push_back(std::move(value));
}

void jkReleaseWithoutRecursion(std::vector<JKValue>& values) {
  while (!values.empty()) {
    JKValue last = std::move(values.back());
    values.pop_back();
    if (JKArray* array = last.array().get()) {
      for (JKValue& object : array->objects_) jkTakeIfLastContainer(object, values);
    } else if (JKDictionary* dictionary = last.dictionary().get()) {
      for (JKDictionary::Entry& entry : dictionary->entries_) jkTakeIfLastContainer(entry.object, values);
    }
  }  // `last` is freed here with no nested container left in it
}
