#include "JKSerializer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JKFormat.h"
#include "JKUTF8.h"

namespace {

const char kHexDigits[] = "0123456789abcdef";
// A code point that JSONDecoder refuses, escaped or not, under any option.
const char* const kUnreadableCharacter = "Error converting UTF8.";

void appendUnicodeEscape(std::string& out, std::uint32_t unit) {
  char escape[6] = {'\\',
                    'u',
                    kHexDigits[(unit >> 12) & 0xF],
                    kHexDigits[(unit >> 8) & 0xF],
                    kHexDigits[(unit >> 4) & 0xF],
                    kHexDigits[unit & 0xF]};
  out.append(escape, sizeof escape);
}

// The two-character escape of an ASCII byte, or 0 when it has none.
char shortEscape(unsigned char c) {
  switch (c) {
    case '"': return '"';
    case '\\': return '\\';
    case '\b': return 'b';
    case '\t': return 't';
    case '\n': return 'n';
    case '\f': return 'f';
    case '\r': return 'r';
    default: return 0;
  }
}

// The encode cache is indexed by the string object's address.
std::size_t cacheSlotFor(const void* object, std::size_t slotCount) {
  auto a = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(object));
  std::uint32_t slot = (a >> 4) + ((a >> 21) ^ (a >> 9));
  return slot & (slotCount - 1);
}

// The entries in table order, starting just after an empty slot. No probe run
// crosses an empty slot, so each run is written whole and in order; parsing
// the text inserts the keys in that order into a table of the same size,
// which rebuilds the same layout, and serializing again gives the same text.
std::vector<const JKDictionary::Entry*> entriesInWritingOrder(const JKDictionary& dictionary) {
  std::vector<const JKDictionary::Entry*> entries;
  entries.reserve(dictionary.count());
  const std::size_t capacity = dictionary.capacity();
  std::size_t start = 0;
  while (start < capacity && dictionary.slotAtIndex(start).key) ++start;
  for (std::size_t i = 1; i <= capacity; ++i) {
    const JKDictionary::Entry& entry = dictionary.slotAtIndex((start + i) % capacity);
    if (entry.key) entries.push_back(&entry);
  }
  return entries;
}

}  // namespace

JKSerializer::JKSerializer(JKSerializeOptionFlags options) : options_(options) {}

std::optional<std::string> JKSerializer::serializeObject(const JKValue& object, JKSerializeOptionFlags options,
                                                         JKEncodeOptionType encodeOption, JKError* error) {
  bool wantsCollection = (encodeOption & JKEncodeOptionCollectionObj) != 0;
  bool wantsString = (encodeOption & JKEncodeOptionStringObj) != 0;
  bool trimQuotes = (encodeOption & JKEncodeOptionStringObjTrimQuotes) != 0;
  if (wantsCollection && wantsString) {
    throw std::logic_error("Invalid encode options: a collection and a string were both required.");
  }
  if (trimQuotes && !wantsString) {
    throw std::logic_error("Invalid encode options: trimming quotes requires a string object.");
  }
  if (error) *error = JKError();

  std::unique_ptr<JKSerializer> serializer(new JKSerializer(options));  // the cache is too big for the stack
  bool ok;
  if (wantsCollection && !object.isArray() && !object.isDictionary()) {
    ok = serializer->fail(
        jkFormat("Unable to serialize object class %s, expected a NSArray or NSDictionary.", object.kindName()));
  } else if (wantsString && !object.isString()) {
    ok = serializer->fail(jkFormat("Unable to serialize object class %s, expected a NSString.", object.kindName()));
  } else if (wantsString) {
    ok = serializer->encodeString(object.sharedString(), !trimQuotes);
  } else {
    ok = serializer->encodeValue(object, 0);
  }
  JKEncodeOptionType resultType = encodeOption & JKEncodeOptionAsTypeMask;
  if (ok && resultType != JKEncodeOptionResultData && resultType != JKEncodeOptionResultString) {
    ok = serializer->fail("Unknown encode as type.");
  }
  if (!ok) {
    if (error) *error = *serializer->error_;
    return std::nullopt;
  }
  return std::move(serializer->output_);
}

bool JKSerializer::fail(std::string message) {
  if (!error_) {
    JKError error;
    error.message = std::move(message);
    error_ = std::move(error);
  }
  return false;
}

bool JKSerializer::enterContainer(std::size_t depth) {
  if (depth <= kMaxDepth) return true;
  return fail(jkFormat("Unable to serialize: nesting deeper than %lu levels (does a container hold itself?).",
                       static_cast<unsigned long>(kMaxDepth)));
}

bool JKSerializer::encodeValue(const JKValue& value, std::size_t depth) {
  char digits[32];
  switch (value.kind()) {
    case JKValue::Kind::Null: output_ += "null"; return true;
    case JKValue::Kind::Boolean: output_ += value.boolValue() ? "true" : "false"; return true;
    case JKValue::Kind::Integer: {
      auto result = std::to_chars(digits, digits + sizeof digits, value.int64Value());
      output_.append(digits, result.ptr);
      return true;
    }
    case JKValue::Kind::UnsignedInteger: {
      auto result = std::to_chars(digits, digits + sizeof digits, value.uint64Value());
      output_.append(digits, result.ptr);
      return true;
    }
    case JKValue::Kind::Double: return encodeDouble(value.doubleValue());
    case JKValue::Kind::String: return encodeString(value.sharedString(), true);
    case JKValue::Kind::Array: return encodeArray(*value.array(), depth + 1);
    case JKValue::Kind::Dictionary: return encodeDictionary(*value.dictionary(), depth + 1);
  }
  return fail(jkFormat("Unable to serialize object class %s.", value.kindName()));
}

// 17 significant digits, as "%.17g" in the "C" locale: to_chars never uses a decimal comma.
bool JKSerializer::encodeDouble(double value) {
  if (!std::isfinite(value)) {
    return fail("Floating point values must be finite.  JSON does not support NaN or Infinity.");
  }
  char digits[64];
  auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 17);
  output_.append(digits, result.ptr);
  return true;
}

bool JKSerializer::encodeString(const JKValue::SharedString& string, bool withQuotes) {
  CacheSlot* slot = withQuotes ? &cache_[cacheSlotFor(string.get(), kCacheSlots)] : nullptr;
  if (slot && slot->object == string.get()) {
    // Reserve first so that appending from our own buffer never reads freed memory.
    output_.reserve(output_.size() + slot->length);
    output_.append(output_.data() + slot->offset, slot->length);
    return true;
  }
  std::size_t start = output_.size();
  if (withQuotes) output_.push_back('"');
  if (!appendEscaped(*string)) return false;
  if (withQuotes) output_.push_back('"');
  if (slot) *slot = CacheSlot{string.get(), start, output_.size() - start};
  return true;
}

// Copies runs of plain bytes at once; escapes quotes, backslashes, control
// bytes and, by option, "/" and every non-ASCII character. The bytes must be
// well-formed UTF-8, or the output would not be JSON, and free of the code
// points the decoder refuses (U+0000, noncharacters such as U+FFFE and
// U+FDD0), or we would write text we cannot read back: such a string fails.
bool JKSerializer::appendEscaped(const std::string& string) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(string.data());
  const unsigned char* end = bytes + string.size();
  bool escapeSlash = (options_ & JKSerializeOptionSlashEscapes) != 0;
  bool escapeUnicode = (options_ & JKSerializeOptionUnicodeEscapes) != 0;
  const unsigned char* run = bytes;
  const unsigned char* p = bytes;
  auto flushRun = [&]() { output_.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run)); };
  while (p < end) {
    unsigned char c = *p;
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && !(c == '/' && escapeSlash)) {
      ++p;
      continue;
    }
    if (c == 0) return fail(kUnreadableCharacter);
    if (c < 0x80) {
      flushRun();
      if (char escaped = shortEscape(c)) {
        output_.push_back('\\');
        output_.push_back(escaped);
      } else if (c == '/') {
        output_ += "\\/";
      } else {
        appendUnicodeEscape(output_, c);
      }
      run = ++p;
      continue;
    }
    const unsigned char* next;
    std::uint32_t codePoint;
    if (jkDecodeUTF8Sequence(p, end, &next, &codePoint) != JKConversionOK) {
      return fail("An error occurred converting the contents of a NSString to UTF8.");
    }
    if (!jkIsLegalCodePoint(codePoint)) return fail(kUnreadableCharacter);
    if (!escapeUnicode) {
      p = next;
      continue;
    }
    flushRun();
    if (codePoint > 0xFFFF) {
      appendUnicodeEscape(output_, (codePoint >> 10) + 0xD7C0);
      appendUnicodeEscape(output_, (codePoint & 0x3FF) + 0xDC00);
    } else {
      appendUnicodeEscape(output_, codePoint);
    }
    run = p = next;
  }
  flushRun();
  return true;
}

void JKSerializer::writeLineBreak() {
  output_.push_back('\n');
  output_.append(depth_ * 2, ' ');
}

// Compact output writes the byte alone; pretty output adds the line breaks
// and indentation around it and ": " for the key separator.
void JKSerializer::writePunctuation(char c) {
  if (!(options_ & JKSerializeOptionPretty)) {
    output_.push_back(c);
    return;
  }
  switch (c) {
    case '[':
    case '{':
      ++depth_;
      output_.push_back(c);
      writeLineBreak();
      break;
    case ']':
    case '}':
      --depth_;
      writeLineBreak();
      output_.push_back(c);
      break;
    case ',':
      output_.push_back(c);
      writeLineBreak();
      break;
    case ':': output_ += ": "; break;
    default: output_.push_back(c); break;
  }
}

bool JKSerializer::encodeArray(const JKArray& array, std::size_t depth) {
  if (!enterContainer(depth)) return false;
  writePunctuation('[');
  bool first = true;
  for (const JKValue& element : array) {
    if (!first) writePunctuation(',');
    first = false;
    if (!encodeValue(element, depth)) return false;
  }
  writePunctuation(']');
  return true;
}

bool JKSerializer::encodeDictionary(const JKDictionary& dictionary, std::size_t depth) {
  if (!enterContainer(depth)) return false;
  std::vector<const JKDictionary::Entry*> entries = entriesInWritingOrder(dictionary);
  if (options_ & JKSerializeOptionPretty) {
    std::sort(entries.begin(), entries.end(),
              [](const JKDictionary::Entry* a, const JKDictionary::Entry* b) { return *a->key < *b->key; });
  }
  writePunctuation('{');
  bool first = true;
  for (const JKDictionary::Entry* entry : entries) {
    if (!first) writePunctuation(',');
    first = false;
    if (!encodeString(entry->key, true)) return false;
    writePunctuation(':');
    if (!encodeValue(entry->object, depth)) return false;
  }
  writePunctuation('}');
  return true;
}
