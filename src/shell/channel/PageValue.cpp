#include "PageValue.h"

#include <glib.h>

#include "PageChannelProtocol.h"
#include "PageText.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

const PageValue& undefinedValue() {
  static const PageValue value;
  return value;
}

bool isJavaScriptSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Number(text) for a string: decimal literals with optional sign and
// exponent, "Infinity", and 0x/0o/0b integers; anything else is NaN.
double stringToNumber(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isJavaScriptSpace(text[begin])) ++begin;
  while (end > begin && isJavaScriptSpace(text[end - 1])) --end;
  std::string s = text.substr(begin, end - begin);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (s.empty()) return 0;
  if (s.size() > 2 && s[0] == '0' && std::strchr("xXoObB", s[1])) {
    int base = (s[1] == 'x' || s[1] == 'X') ? 16 : (s[1] == 'o' || s[1] == 'O') ? 8 : 2;
    double value = 0;
    for (size_t i = 2; i < s.size(); ++i) {
      int digit = g_ascii_xdigit_value(s[i]);
      if (digit < 0 || digit >= base) return nan;
      value = value * base + digit;
    }
    return value;
  }
  size_t i = 0;
  bool negative = false;
  if (s[i] == '+' || s[i] == '-') negative = s[i++] == '-';
  if (s.compare(i, std::string::npos, "Infinity") == 0) {
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  // Check the decimal literal's shape before handing it to the parser, which
  // would also take "inf", "nan" and hexadecimal floats.
  size_t digits = 0;
  while (i < s.size() && g_ascii_isdigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && g_ascii_isdigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return nan;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exponentDigits = 0;
    while (i < s.size() && g_ascii_isdigit(s[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return nan;
  }
  if (i != s.size()) return nan;
  return g_ascii_strtod(s.c_str(), nullptr);
}

}  // namespace

PageValue PageValue::null() {
  return PageValue(Type::Null);
}

PageValue PageValue::boolean(bool value) {
  PageValue v(Type::Boolean);
  v.number_ = value ? 1 : 0;
  return v;
}

PageValue PageValue::number(double value) {
  PageValue v(Type::Number);
  v.number_ = value;
  return v;
}

PageValue PageValue::string(std::string value) {
  PageValue v(Type::String);
  v.string_ = std::move(value);
  return v;
}

PageValue PageValue::array(std::vector<PageValue> elements) {
  PageValue v(Type::Array);
  v.elements_ = std::move(elements);
  return v;
}

PageValue PageValue::object() {
  return PageValue(Type::Object);
}

PageValue PageValue::callback(uint64_t id) {
  PageValue v(Type::Callback);
  v.callback_ = id;
  return v;
}

const PageValue& PageValue::at(size_t index) const {
  if (type_ != Type::Array || index >= elements_.size()) return undefinedValue();
  return elements_[index];
}

const PageValue& PageValue::get(const std::string& key) const {
  if (type_ != Type::Object) return undefinedValue();
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == key) return elements_[i];
  }
  return undefinedValue();
}

PageValue& PageValue::push(PageValue element) {
  if (type_ == Type::Array) elements_.push_back(std::move(element));
  return *this;
}

PageValue& PageValue::set(const std::string& key, PageValue value) {
  if (type_ != Type::Object) return *this;
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == key) {
      elements_[i] = std::move(value);
      return *this;
    }
  }
  keys_.push_back(key);
  elements_.push_back(std::move(value));
  return *this;
}

std::string PageValue::numberText(double value) {
  if (std::isnan(value)) return "NaN";
  if (value == 0) return "0";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value < 0) return "-" + numberText(-value);

  // The shortest digits that give the value back, as d.ddde±x.
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string scientific(buffer, result.ptr);
  size_t e = scientific.find('e');
  std::string digits;
  for (size_t i = 0; i < e; ++i) {
    if (scientific[i] != '.') digits += scientific[i];
  }
  int k = static_cast<int>(digits.size());
  int n = std::atoi(scientific.c_str() + e + 1) + 1;  // value = 0.digits × 10^n

  if (k <= n && n <= 21) return digits + std::string(n - k, '0');
  if (0 < n && n <= 21) return digits.substr(0, n) + "." + digits.substr(n);
  if (-6 < n && n <= 0) return "0." + std::string(-n, '0') + digits;
  std::string exponent = (n - 1 >= 0 ? "+" : "-") + std::to_string(std::abs(n - 1));
  if (k == 1) return digits + "e" + exponent;
  return digits.substr(0, 1) + "." + digits.substr(1) + "e" + exponent;
}

std::string PageValue::text() const {
  switch (type_) {
    case Type::Undefined:
    case Type::Null:
    case Type::Callback: return "";
    case Type::Boolean: return number_ != 0 ? "true" : "false";
    case Type::Number: return numberText(number_);
    case Type::String: return string_;
    case Type::Array: {
      std::string joined;
      for (size_t i = 0; i < elements_.size(); ++i) {
        if (i > 0) joined += ",";
        joined += elements_[i].text();
      }
      return joined;
    }
    case Type::Object: return "[object Object]";
  }
  return "";
}

double PageValue::toNumber() const {
  switch (type_) {
    case Type::Null: return 0;
    case Type::Boolean:
    case Type::Number: return number_;
    case Type::String: return stringToNumber(string_);
    default: return std::numeric_limits<double>::quiet_NaN();
  }
}

int PageValue::toInt() const {
  double value = toNumber();
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  if (value <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

int64_t PageValue::toInt64() const {
  double value = toNumber();
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable; anything at or above it is clamped.
  if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

bool PageValue::toFlag() const {
  double value = toNumber();
  return !std::isnan(value) && value != 0;
}

GVariant* PageValue::toBareVariant() const {
  switch (type_) {
    case Type::Undefined: return g_variant_new_byte(PageChannelProtocol::kUndefinedByte);
    case Type::Null: return g_variant_new_byte(PageChannelProtocol::kNullByte);
    case Type::Boolean: return g_variant_new_boolean(number_ != 0);
    case Type::Number: return g_variant_new_double(number_);
    case Type::String:
      // GVariant strings must be valid UTF-8 without NUL: other texts go whole
      // as their literal.
      if (PageText::travelsPlain(string_)) return g_variant_new_string(string_.c_str());
      return g_variant_new("(s)", PageText::toLiteral(string_).c_str());
    case Type::Array: {
      GVariantBuilder builder;
      g_variant_builder_init(&builder, G_VARIANT_TYPE("av"));
      for (const PageValue& element : elements_) g_variant_builder_add_value(&builder, element.toVariant());
      return g_variant_builder_end(&builder);
    }
    case Type::Object: {
      GVariantBuilder builder;
      g_variant_builder_init(&builder, G_VARIANT_TYPE("a(sv)"));
      for (size_t i = 0; i < keys_.size(); ++i) {
        gchar* key = g_utf8_make_valid(keys_[i].c_str(), -1);
        g_variant_builder_add(&builder, "(s@v)", key, elements_[i].toVariant());
        g_free(key);
      }
      return g_variant_builder_end(&builder);
    }
    case Type::Callback: return g_variant_new("(t)", callback_);
  }
  return g_variant_new_byte(PageChannelProtocol::kUndefinedByte);
}

GVariant* PageValue::toVariant() const {
  return g_variant_new_variant(toBareVariant());
}

PageValue PageValue::fromVariant(GVariant* variant) {
  return fromVariant(variant, 0);
}

PageValue PageValue::fromVariant(GVariant* variant, int depth) {
  if (variant == nullptr || depth > kMaxDepth) return PageValue();
  if (g_variant_is_of_type(variant, G_VARIANT_TYPE_VARIANT)) {
    GVariant* inner = g_variant_get_variant(variant);
    PageValue value = fromVariant(inner, depth + 1);
    g_variant_unref(inner);
    return value;
  }
  const GVariantType* type = g_variant_get_type(variant);
  if (g_variant_type_equal(type, G_VARIANT_TYPE_BOOLEAN)) return boolean(g_variant_get_boolean(variant));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_DOUBLE)) return number(g_variant_get_double(variant));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_INT32)) return number(g_variant_get_int32(variant));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_UINT32)) return number(g_variant_get_uint32(variant));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_INT64))
    return number(static_cast<double>(g_variant_get_int64(variant)));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_UINT64))
    return number(static_cast<double>(g_variant_get_uint64(variant)));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_STRING)) return string(g_variant_get_string(variant, nullptr));
  if (g_variant_type_equal(type, G_VARIANT_TYPE("(s)"))) {
    GVariant* literal = g_variant_get_child_value(variant, 0);
    PageValue value = string(PageText::fromLiteral(g_variant_get_string(literal, nullptr)));
    g_variant_unref(literal);
    return value;
  }
  if (g_variant_type_equal(type, G_VARIANT_TYPE_BYTE)) {
    return g_variant_get_byte(variant) == PageChannelProtocol::kNullByte ? null() : PageValue();
  }
  if (g_variant_type_equal(type, G_VARIANT_TYPE("(t)"))) {
    guint64 id = 0;
    g_variant_get(variant, "(t)", &id);
    return callback(id);
  }
  if (g_variant_type_equal(type, G_VARIANT_TYPE("av"))) {
    PageValue value = array();
    gsize count = g_variant_n_children(variant);
    value.elements_.reserve(count);
    for (gsize i = 0; i < count; ++i) {
      GVariant* child = g_variant_get_child_value(variant, i);
      value.elements_.push_back(fromVariant(child, depth + 1));
      g_variant_unref(child);
    }
    return value;
  }
  if (g_variant_type_equal(type, G_VARIANT_TYPE("a(sv)"))) {
    PageValue value = object();
    gsize count = g_variant_n_children(variant);
    for (gsize i = 0; i < count; ++i) {
      const gchar* key = nullptr;
      GVariant* child = nullptr;
      g_variant_get_child(variant, i, "(&sv)", &key, &child);
      // Keys come from one object, so they are distinct: no search needed.
      value.keys_.push_back(key);
      value.elements_.push_back(fromVariant(child, depth + 1));
      g_variant_unref(child);
    }
    return value;
  }
  return PageValue();  // anything unknown
}

bool PageValue::operator==(const PageValue& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case Type::Undefined:
    case Type::Null: return true;
    case Type::Boolean:
    case Type::Number: return number_ == other.number_;
    case Type::String: return string_ == other.string_;
    case Type::Callback: return callback_ == other.callback_;
    case Type::Array:
    case Type::Object: return keys_ == other.keys_ && elements_ == other.elements_;
  }
  return false;
}
