#include "JSONDecoder.h"

#include <new>
#include <stdexcept>
#include <vector>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JKFormat.h"
#include "JKTokenCache.h"
#include "JKTokenizer.h"

namespace {

// What may come next inside a container.
enum : unsigned { kAllowValue = 1, kAllowComma = 2, kAllowEnd = 4 };

// Memory kept between parses; a document that needed more gives it back.
constexpr std::size_t kRetainedStackEntries = 4096;
constexpr std::size_t kRetainedBufferBytes = 64 * 1024;

const char* const kExpectedKey = "a \"STRING\"";

bool isValueToken(JKTokenType type) {
  switch (type) {
    case JKTokenType::Number:
    case JKTokenType::String:
    case JKTokenType::ObjectBegin:
    case JKTokenType::ArrayBegin:
    case JKTokenType::True:
    case JKTokenType::False:
    case JKTokenType::Null: return true;
    default: return false;
  }
}

bool isContainerToken(JKTokenType type) {
  return type == JKTokenType::ArrayBegin || type == JKTokenType::ObjectBegin;
}

}  // namespace

// Everything one parse works with. The tokenizer's buffer, the two object
// stacks and the string cache live as long as the decoder, so repeated parses
// reuse their memory.
struct JSONDecoder::ParseState {
  explicit ParseState(JKParseOptionFlags options) : tokenizer(options) {}

  std::optional<JKValue> parseDocument(const char* bytes, std::size_t length, bool mutableResult);
  std::optional<JKValue> parseValue(std::size_t depth);
  std::optional<JKValue> parseArray(std::size_t depth);
  std::optional<JKValue> parseDictionary(std::size_t depth);
  JKValue scalarValue();
  bool enterContainer(std::size_t depth);
  void recordChoiceError(unsigned allowed, const char* valueText, const char* endText);
  void releaseMemory();

  JKTokenizer tokenizer;
  JKTokenCache cache;
  std::vector<JKValue> objectStack;             // elements of the open arrays
  std::vector<JKDictionary::Entry> entryStack;  // entries of the open dictionaries
  bool mutableContainers = false;
};

std::optional<JKValue> JSONDecoder::ParseState::parseDocument(const char* bytes, std::size_t length,
                                                              bool mutableResult) {
  tokenizer.reset(bytes, length);
  mutableContainers = mutableResult;
  std::optional<JKValue> result;
  try {
    while (!tokenizer.error() && tokenizer.atIndex() < length) {
      if (!tokenizer.nextToken()) break;
      JKTokenType type = tokenizer.token().type;
      if (type == JKTokenType::ArrayBegin || type == JKTokenType::ObjectBegin) {
        result = parseValue(1);
      } else {
        tokenizer.recordError("Expected either '[' or '{'.");
      }
      break;
    }
  } catch (const std::bad_alloc&) {
    result.reset();
    tokenizer.recordError("Internal error: Unable to resize temporary buffer. %s line #%ld", jkSourceName(__FILE__),
                          static_cast<long>(__LINE__));
  }
  if (!result) {
    if (tokenizer.atIndex() == length) tokenizer.recordError("Reached the end of the buffer.");
    tokenizer.recordError("Unable to parse JSON.");
  } else {
    tokenizer.skipWhitespace();
    if (tokenizer.atIndex() < length && !(tokenizer.options() & JKParseOptionTrailingText)) {
      tokenizer.recordError(
          "A valid JSON object was parsed but there were additional non-white-space characters remaining.");
      result.reset();
    }
  }
  objectStack.clear();
  entryStack.clear();
  return result;
}

std::optional<JKValue> JSONDecoder::ParseState::parseValue(std::size_t depth) {
  switch (tokenizer.token().type) {
    case JKTokenType::ArrayBegin: return parseArray(depth);
    case JKTokenType::ObjectBegin: return parseDictionary(depth);
    default: return scalarValue();
  }
}

JKValue JSONDecoder::ParseState::scalarValue() {
  const JKParseToken& token = tokenizer.token();
  switch (token.type) {
    case JKTokenType::True: return JKValue(true);
    case JKTokenType::False: return JKValue(false);
    case JKTokenType::Null: return JKValue();
    case JKTokenType::String: return JKValue(cache.cachedString(token.value.bytes, token.value.hash));
    default: break;
  }
  switch (token.value.type) {
    case JKValueType::LongLong: return JKValue(static_cast<std::int64_t>(token.value.longLongValue));
    case JKValueType::UnsignedLongLong: return JKValue(static_cast<std::uint64_t>(token.value.unsignedLongLongValue));
    default: return JKValue(token.value.doubleValue);
  }
}

// The nesting limit keeps a hostile or broken document from exhausting the
// call stack: each level of nesting is one level of recursion.
bool JSONDecoder::ParseState::enterContainer(std::size_t depth) {
  if (depth <= JSONDecoder::kMaxDepth) return true;
  tokenizer.recordError("Exceeded the maximum nesting depth of %lu levels.",
                        static_cast<unsigned long>(JSONDecoder::kMaxDepth));
  return false;
}

// "Expected a value or a ']', not ':'": the alternatives allowed here, then the offending token.
void JSONDecoder::ParseState::recordChoiceError(unsigned allowed, const char* valueText, const char* endText) {
  const char* choices[3];
  int count = 0;
  if (allowed & kAllowValue) choices[count++] = valueText;
  if (allowed & kAllowComma) choices[count++] = "a comma";
  if (allowed & kAllowEnd) choices[count++] = endText;
  std::string_view text = tokenizer.token().text;
  int width = static_cast<int>(text.size());
  if (count == 1) {
    tokenizer.recordError("Expected %s, not '%*.*s'", choices[0], width, width, text.data());
  } else if (count == 2) {
    tokenizer.recordError("Expected %s or %s, not '%*.*s'", choices[0], choices[1], width, width, text.data());
  } else {
    tokenizer.recordError("Expected %s, %s, or %s, not '%*.*s'", choices[0], choices[1], choices[2], width, width,
                          text.data());
  }
}

std::optional<JKValue> JSONDecoder::ParseState::parseArray(std::size_t depth) {
  if (!enterContainer(depth)) return std::nullopt;
  const std::size_t base = objectStack.size();
  unsigned allowed = kAllowValue | kAllowEnd;
  auto fail = [&]() -> std::optional<JKValue> {
    objectStack.resize(base);
    return std::nullopt;
  };
  for (;;) {
    bool read = (allowed & kAllowValue) ? tokenizer.nextToken() : tokenizer.nextTokenExpecting(',', JKTokenType::Comma);
    if (!read) return fail();
    JKTokenType type = tokenizer.token().type;
    if (isValueToken(type)) {
      if (!(allowed & kAllowValue)) {
        tokenizer.recordError("Unexpected value.");
        return fail();
      }
      if (isContainerToken(type)) {
        std::optional<JKValue> element = parseValue(depth + 1);
        if (!element) return fail();
        objectStack.push_back(std::move(*element));
      } else {
        objectStack.push_back(scalarValue());  // made in place: a value is moved as rarely as possible
      }
      allowed = kAllowComma | kAllowEnd;
    } else if (type == JKTokenType::Comma) {
      if (!(allowed & kAllowComma)) {
        tokenizer.recordError("Unexpected ','.");
        return fail();
      }
      allowed = kAllowValue;
    } else if (type == JKTokenType::ArrayEnd) {
      if (!(allowed & kAllowEnd)) {
        tokenizer.recordError("Unexpected ']'.");
        return fail();
      }
      std::vector<JKValue> elements(std::make_move_iterator(objectStack.begin() + static_cast<std::ptrdiff_t>(base)),
                                    std::make_move_iterator(objectStack.end()));
      objectStack.resize(base);
      return JKValue(JKArray::create(std::move(elements), mutableContainers));
    } else {
      recordChoiceError(allowed, "a value", "a ']'");
      return fail();
    }
  }
}

std::optional<JKValue> JSONDecoder::ParseState::parseDictionary(std::size_t depth) {
  if (!enterContainer(depth)) return std::nullopt;
  const std::size_t base = entryStack.size();
  unsigned allowed = kAllowValue | kAllowEnd;
  auto fail = [&]() -> std::optional<JKValue> {
    entryStack.resize(base);
    return std::nullopt;
  };
  for (;;) {
    bool read = (allowed & kAllowValue) ? tokenizer.nextTokenExpecting('"', JKTokenType::String)
                                        : tokenizer.nextTokenExpecting(',', JKTokenType::Comma);
    if (!read) return fail();
    JKTokenType type = tokenizer.token().type;
    if (type == JKTokenType::String) {
      if (!(allowed & kAllowValue)) {
        tokenizer.recordError("Unexpected string.");
        return fail();
      }
      const JKTokenValue& keyToken = tokenizer.token().value;
      std::uint64_t keyHash;
      JKDictionary::Key key = cache.cachedKey(keyToken.bytes, keyToken.hash, &keyHash);
      if (!tokenizer.nextTokenExpecting(':', JKTokenType::Separator)) return fail();
      if (tokenizer.token().type != JKTokenType::Separator) {
        tokenizer.recordError("Expected ':'.");
        return fail();
      }
      if (!tokenizer.nextToken()) return fail();
      JKTokenType valueType = tokenizer.token().type;
      if (!isValueToken(valueType)) {
        recordChoiceError(kAllowValue, "a value", "a '}'");
        return fail();
      }
      if (isContainerToken(valueType)) {
        std::optional<JKValue> object = parseValue(depth + 1);
        if (!object) return fail();
        entryStack.push_back(JKDictionary::Entry{keyHash, std::move(key), std::move(*object)});
      } else {
        entryStack.push_back(JKDictionary::Entry{keyHash, std::move(key), scalarValue()});
      }
      allowed = kAllowComma | kAllowEnd;
    } else if (type == JKTokenType::Comma) {
      if (!(allowed & kAllowComma)) {
        tokenizer.recordError("Unexpected ','.");
        return fail();
      }
      allowed = kAllowValue;
    } else if (type == JKTokenType::ObjectEnd) {
      if (!(allowed & kAllowEnd)) {
        tokenizer.recordError("Unexpected '}'.");
        return fail();
      }
      auto dictionary = JKDictionary::create(entryStack.data() + base, entryStack.size() - base, mutableContainers);
      entryStack.resize(base);
      return JKValue(std::move(dictionary));
    } else {
      recordChoiceError(allowed, kExpectedKey, "a '}'");
      return fail();
    }
  }
}

void JSONDecoder::ParseState::releaseMemory() {
  if (objectStack.capacity() > kRetainedStackEntries) std::vector<JKValue>().swap(objectStack);
  if (entryStack.capacity() > kRetainedStackEntries) std::vector<JKDictionary::Entry>().swap(entryStack);
  tokenizer.trimBuffer(kRetainedBufferBytes);
  tokenizer.finish();
}

JSONDecoder::JSONDecoder(JKParseOptionFlags parseOptions) {
  if (parseOptions > JKParseOptionValidFlags) throw std::invalid_argument("Invalid parse options.");
  parseState_ = std::make_unique<ParseState>(parseOptions);
}

JSONDecoder::~JSONDecoder() = default;
JSONDecoder::JSONDecoder(JSONDecoder&&) noexcept = default;
JSONDecoder& JSONDecoder::operator=(JSONDecoder&&) noexcept = default;

JKParseOptionFlags JSONDecoder::parseOptions() const {
  return parseState_ ? parseState_->tokenizer.options() : JKParseOptionStrict;
}

void JSONDecoder::clearCache() {
  if (parseState_) parseState_->cache.clear();
}

std::optional<JKValue> JSONDecoder::parse(const char* string, std::size_t length, bool mutableContainers,
                                          JKError* error) {
  if (!parseState_) throw std::logic_error("parseState is NULL.");
  if (string == nullptr) throw std::invalid_argument("The string argument is NULL.");
  std::optional<JKValue> result = parseState_->parseDocument(string, length, mutableContainers);
  if (error && parseState_->tokenizer.error()) *error = *parseState_->tokenizer.error();
  parseState_->releaseMemory();
  return result;
}

std::optional<JKValue> JSONDecoder::objectWithUTF8String(const char* string, std::size_t length, JKError* error) {
  return parse(string, length, false, error);
}

std::optional<JKValue> JSONDecoder::mutableObjectWithUTF8String(const char* string, std::size_t length,
                                                                JKError* error) {
  return parse(string, length, true, error);
}

std::optional<JKValue> JSONDecoder::objectWithData(std::string_view jsonData, JKError* error) {
  if (jsonData.data() == nullptr) throw std::invalid_argument("The jsonData argument is NULL.");
  return parse(jsonData.data(), jsonData.size(), false, error);
}

std::optional<JKValue> JSONDecoder::mutableObjectWithData(std::string_view jsonData, JKError* error) {
  if (jsonData.data() == nullptr) throw std::invalid_argument("The jsonData argument is NULL.");
  return parse(jsonData.data(), jsonData.size(), true, error);
}
