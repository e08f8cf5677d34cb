// A value that crosses between the page and the application: what a page
// argument was, or what a result or event argument will be in the page.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

typedef struct _GVariant GVariant;

class PageValue {
 public:
  enum class Type { Undefined, Null, Boolean, Number, String, Array, Object, Callback };

  PageValue() = default;  // undefined
  static PageValue null();
  static PageValue boolean(bool value);
  static PageValue number(double value);
  static PageValue string(std::string value);
  static PageValue array(std::vector<PageValue> elements = {});
  static PageValue object();  // no keys; add them with set()
  static PageValue callback(uint64_t id);

  Type type() const { return type_; }
  bool isUndefined() const { return type_ == Type::Undefined; }
  bool isNull() const { return type_ == Type::Null; }
  bool isNullOrUndefined() const { return isNull() || isUndefined(); }
  bool isBoolean() const { return type_ == Type::Boolean; }
  bool isNumber() const { return type_ == Type::Number; }
  bool isString() const { return type_ == Type::String; }
  bool isArray() const { return type_ == Type::Array; }
  bool isObject() const { return type_ == Type::Object; }
  bool isCallback() const { return type_ == Type::Callback; }

  // The raw contents; each gives its type's empty value for another type.
  bool booleanValue() const { return type_ == Type::Boolean && number_ != 0; }
  double numberValue() const { return type_ == Type::Number ? number_ : 0; }
  const std::string& stringValue() const { return string_; }
  uint64_t callbackId() const { return type_ == Type::Callback ? callback_ : 0; }

  // Array elements, or object values in key order.
  const std::vector<PageValue>& elements() const { return elements_; }
  size_t size() const { return elements_.size(); }
  // Element i of an array; undefined past the end or for another type.
  const PageValue& at(size_t index) const;
  // Object keys in order.
  const std::vector<std::string>& keys() const { return keys_; }
  // The value of an object's key; undefined when absent or not an object.
  const PageValue& get(const std::string& key) const;
  // Appends an element to an array.
  PageValue& push(PageValue element);
  // Sets a key of an object; a key already present keeps its place.
  PageValue& set(const std::string& key, PageValue value);

  // The text the page would get from String(value), except that null and
  // undefined give "". Objects give "[object Object]", arrays their elements
  // joined by ",", callbacks "".
  std::string text() const;
  // The number the page would get from Number(value) for primitives; NaN for
  // arrays, objects and callbacks.
  double toNumber() const;
  // toNumber() truncated toward zero and clamped to the int range; NaN is 0.
  int toInt() const;
  // toNumber() truncated toward zero and clamped to the int64_t range.
  int64_t toInt64() const;
  // true for any number other than 0 and NaN (as a declared BOOL parameter
  // takes it), and for true.
  bool toFlag() const;

  // The page's text for a number (Number.prototype.toString()).
  static std::string numberText(double value);

  // The wire form (see PageChannelProtocol.h): a new floating "v" variant.
  GVariant* toVariant() const;
  // From the wire form: a "v" variant or the value inside one. Unknown types
  // become undefined; nesting deeper than kMaxDepth (counting each variant
  // and each container) is cut to undefined.
  static PageValue fromVariant(GVariant* variant);

  static constexpr int kMaxDepth = 64;

  bool operator==(const PageValue& other) const;
  bool operator!=(const PageValue& other) const { return !(*this == other); }

 private:
  explicit PageValue(Type type) : type_(type) {}
  static PageValue fromVariant(GVariant* variant, int depth);
  GVariant* toBareVariant() const;

  Type type_ = Type::Undefined;
  double number_ = 0;  // Number, and Boolean as 0 or 1
  uint64_t callback_ = 0;
  std::string string_;
  std::vector<std::string> keys_;    // Object
  std::vector<PageValue> elements_;  // Array, and Object values
};
