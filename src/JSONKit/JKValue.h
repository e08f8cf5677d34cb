#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

class JKArray;
class JKDictionary;

// One JSON value: null, a boolean, a number (a signed or unsigned 64-bit
// integer, or a double), a string, an array or an object.
//
// Scalars are held by value. Strings are shared immutable text: the decoder
// hands one string object to every occurrence of an equal string, and the
// serializer writes a string object it has already written by copying its
// text. Arrays and objects are shared references to JKArray and JKDictionary:
// copying a JKValue never copies a container, exactly like passing a
// reference-counted collection around.
//
// JSON null is a value of its own; "no result" is std::optional<JKValue>
// without a value.
//
// Integers: a non-negative integer that fits in int64 is always held as
// Integer; UnsignedInteger holds only values above INT64_MAX. Numbers compare
// equal by value across kinds (2, 2u and 2.0 are equal), so a double written
// as "2" and read back as an integer is still the same value.
//
// A JKValue is as thread-safe as a shared_ptr: copies may be used on several
// threads; the containers it refers to follow their own rules.
class JKValue {
 public:
  enum class Kind { Null, Boolean, Integer, UnsignedInteger, Double, String, Array, Dictionary };
  using SharedString = std::shared_ptr<const std::string>;

  JKValue() noexcept = default;
  JKValue(std::nullptr_t) noexcept {}
  JKValue(bool value) noexcept : storage_(value) {}
  template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  JKValue(T value) noexcept {
    if constexpr (std::is_signed_v<T>) {
      storage_ = static_cast<std::int64_t>(value);
    } else {
      setUnsigned(static_cast<std::uint64_t>(value));
    }
  }
  JKValue(double value) noexcept : storage_(value) {}
  JKValue(const char* text);  // a null pointer gives JSON null
  JKValue(std::string text);
  JKValue(std::string_view text);
  JKValue(SharedString text) noexcept;  // a null pointer gives JSON null
  JKValue(std::shared_ptr<JKArray> array) noexcept;
  JKValue(std::shared_ptr<JKDictionary> dictionary) noexcept;

  Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
  bool isNull() const noexcept { return kind() == Kind::Null; }
  bool isBool() const noexcept { return kind() == Kind::Boolean; }
  bool isNumber() const noexcept;
  bool isString() const noexcept { return kind() == Kind::String; }
  bool isArray() const noexcept { return kind() == Kind::Array; }
  bool isDictionary() const noexcept { return kind() == Kind::Dictionary; }
  // A short name of the kind ("null", "boolean", "integer", "unsigned integer",
  // "double", "string", "JKArray", "JKDictionary") for messages.
  const char* kindName() const noexcept;

  // Scalar readers. A boolean reads as 0 or 1, numbers convert like C casts
  // (doubles truncate, out-of-range conversions saturate); anything else reads
  // as false or 0.
  bool boolValue() const noexcept;
  std::int64_t int64Value() const noexcept;
  std::uint64_t uint64Value() const noexcept;
  double doubleValue() const noexcept;

  // The string; an empty string when this is not a string.
  const std::string& stringValue() const noexcept;
  // The shared string object; null when this is not a string.
  const SharedString& sharedString() const noexcept;
  // The container; null when this is not one.
  const std::shared_ptr<JKArray>& array() const noexcept;
  const std::shared_ptr<JKDictionary>& dictionary() const noexcept;

  // Deep equality: numbers by value, strings by bytes, arrays element by
  // element, dictionaries by their key-value pairs whatever their order.
  friend bool operator==(const JKValue& a, const JKValue& b);
  friend bool operator!=(const JKValue& a, const JKValue& b) { return !(a == b); }

 private:
  void setUnsigned(std::uint64_t value) noexcept;

  std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, SharedString, std::shared_ptr<JKArray>,
               std::shared_ptr<JKDictionary>>
      storage_;
};

// The one empty string object: every empty string the decoder produces is this one.
const JKValue::SharedString& jkEmptyString();

// Freeing without recursion, for the containers' destructors.
// jkTakeIfLastContainer moves `value` to `into` when it is a container that
// nothing else holds. jkReleaseWithoutRecursion frees such a list one
// container at a time, after moving that container's own last-held containers
// to the list, so no destructor ever runs inside another one's.
void jkTakeIfLastContainer(JKValue& value, std::vector<JKValue>& into);
void jkReleaseWithoutRecursion(std::vector<JKValue>& values);
