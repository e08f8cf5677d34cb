#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "JKError.h"
#include "JKValue.h"

// Serialize option bits.
using JKSerializeOptionFlags = std::uint64_t;
constexpr JKSerializeOptionFlags JKSerializeOptionNone = 0;
// Line breaks and two-space indentation, ": " after keys, keys in byte order.
constexpr JKSerializeOptionFlags JKSerializeOptionPretty = 1;
// Every non-ASCII character as a \u escape (a surrogate pair above U+FFFF).
constexpr JKSerializeOptionFlags JKSerializeOptionUnicodeEscapes = 2;
// "/" written as "\/".
constexpr JKSerializeOptionFlags JKSerializeOptionSlashEscapes = 16;

// Encode options: the low three bits choose the result type; the other bits
// say what the top-level value must be.
using JKEncodeOptionType = std::uint64_t;
constexpr JKEncodeOptionType JKEncodeOptionAsTypeMask = 0x07;
constexpr JKEncodeOptionType JKEncodeOptionResultData = 1;
constexpr JKEncodeOptionType JKEncodeOptionResultString = 2;
constexpr JKEncodeOptionType JKEncodeOptionCollectionObj = 8;         // an array or a dictionary
constexpr JKEncodeOptionType JKEncodeOptionStringObj = 16;            // a string
constexpr JKEncodeOptionType JKEncodeOptionStringObjTrimQuotes = 32;  // a string, written without its quotes

// Writes a JKValue graph as UTF-8 JSON text, compact or pretty.
//
// Integers in decimal, doubles as "%.17g" would (but in the "C" locale,
// whatever the process locale is), finite doubles only. Strings must hold
// well-formed UTF-8 without the code points the decoder refuses (U+0000,
// U+FDD0..U+FDEF and those ending in FFFE or FFFF): what is written here
// always parses again with JSONDecoder's default options. Graphs nested deeper than kMaxDepth levels, including a
// mutable container that contains itself, are refused with an error. A
// string object that occurs several times is encoded once and its text copied.
//
// Failures return no value and hand the first error to `error` when given;
// inconsistent encode options (both requirements, or the trim flag without
// the string requirement) are misuse and throw std::logic_error.
// Any thread: each call works on its own state.
class JKSerializer {
 public:
  static constexpr std::size_t kMaxDepth = 512;

  static std::optional<std::string> serializeObject(const JKValue& object, JKSerializeOptionFlags options,
                                                    JKEncodeOptionType encodeOption, JKError* error = nullptr);

 private:
  struct CacheSlot {
    const std::string* object = nullptr;
    std::size_t offset = 0;
    std::size_t length = 0;
  };
  static constexpr std::size_t kCacheSlots = 1024;

  explicit JKSerializer(JKSerializeOptionFlags options);
  bool encodeValue(const JKValue& value, std::size_t depth);
  bool encodeString(const JKValue::SharedString& string, bool withQuotes);
  bool appendEscaped(const std::string& string);
  bool encodeDouble(double value);
  bool encodeArray(const JKArray& array, std::size_t depth);
  bool encodeDictionary(const JKDictionary& dictionary, std::size_t depth);
  bool enterContainer(std::size_t depth);
  void writePunctuation(char c);
  void writeLineBreak();
  bool fail(std::string message);

  JKSerializeOptionFlags options_;
  std::string output_;
  std::size_t depth_ = 0;  // indentation level of pretty output
  CacheSlot cache_[kCacheSlots];
  std::optional<JKError> error_;
};
