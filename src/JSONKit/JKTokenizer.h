#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "JKError.h"
#include "JKParseOptions.h"

enum class JKTokenType {
  Invalid = 0,
  Number = 1,
  String = 2,
  ObjectBegin = 3,  // {
  ObjectEnd = 4,    // }
  ArrayBegin = 5,   // [
  ArrayEnd = 6,     // ]
  Separator = 7,    // :
  Comma = 8,        // ,
  True = 9,
  False = 10,
  Null = 11,
};

enum class JKValueType {
  None = 0,
  String = 5,
  LongLong = 7,
  UnsignedLongLong = 11,
  Double = 13,
};

// The value of a string or number token.
struct JKTokenValue {
  JKValueType type = JKValueType::None;
  // String: the decoded UTF-8 content, pointing into the input when the string
  // needed no decoding, else into the tokenizer's buffer (valid until the next token).
  std::string_view bytes;
  // String: jkStringHash of `bytes`.
  std::uint64_t hash = 0;
  union {
    long long longLongValue;
    unsigned long long unsignedLongLongValue;
    double doubleValue;
  };
  JKTokenValue() : longLongValue(0) {}
};

struct JKParseToken {
  JKTokenType type = JKTokenType::Invalid;
  std::string_view text;  // the token's bytes in the input
  JKTokenValue value;
};

// Reads JSON tokens one at a time from a byte buffer it does not own: skips
// white space (and, by option, comments and Unicode line breaks) while
// counting lines, decodes strings (escapes, strict UTF-8, optional repair)
// and numbers, and records the first error of the parse with its byte index
// and line.
//
// Numbers are converted without regard to the process locale.
// Not thread-safe: one tokenizer serves one parse at a time.
class JKTokenizer {
 public:
  explicit JKTokenizer(JKParseOptionFlags options = JKParseOptionStrict) : options_(options) {}

  // Starts a parse of [bytes, bytes + length): index 0, line 1, no error.
  void reset(const char* bytes, std::size_t length);
  // Forgets the input and the error; keeps the buffer's memory for the next parse.
  void finish();

  // Reads the next token into token(). On failure returns false; an error has
  // then been recorded (the first one of the parse is kept).
  bool nextToken();
  // Reads the next token as nextToken() does, sooner when it is `byte`: a
  // one-byte token of type `type`, or with '"' a string. A caller that knows
  // what usually comes next (a ':' after a key, a ',' after a value) spares
  // the dispatch on the token's first byte, a jump that changes its target
  // with every token and so is mostly mispredicted.
  bool nextTokenExpecting(unsigned char byte, JKTokenType type) {
    if (atIndex_ >= length_ || input_[atIndex_] != byte) return nextToken();
    std::size_t start = atIndex_;
    token_.value.type = JKValueType::None;
    if (byte == '"') {
      if (!parseString()) return failToken();
    } else {
      token_.type = type;
      ++atIndex_;
    }
    token_.text = std::string_view(reinterpret_cast<const char*>(input_) + start, atIndex_ - start);
    return true;
  }
  // Moves past white space, line breaks and enabled comments.
  void skipWhitespace();

  const JKParseToken& token() const { return token_; }
  std::size_t atIndex() const { return atIndex_; }
  std::size_t lineNumber() const { return lineNumber_; }
  std::size_t length() const { return length_; }
  JKParseOptionFlags options() const { return options_; }

  // Records an error at the current index and line, unless one was recorded before.
  void recordError(const char* format, ...) __attribute__((format(printf, 2, 3)));
  const std::optional<JKError>& error() const { return error_; }

  // Frees the token buffer when a long string made it larger than `bytes`.
  void trimBuffer(std::size_t bytes);

 private:
  bool failToken();
  bool parseString();
  bool parseSlowString(std::size_t index);
  bool parseEscape(std::size_t* index);
  bool parseUnicodeEscape(std::size_t* index);
  bool readHex4(std::size_t index, std::uint32_t* unit);
  bool parseNumber();
  bool takeInteger(std::string_view text, std::uint64_t magnitude);
  bool convertNumber(std::string_view text, bool isDouble);
  bool matchLiteral(const char* literal, std::size_t length);
  std::size_t lineBreakLength(std::size_t index) const;
  void skipBlockComment();
  bool failAt(std::size_t index, const char* message);

  JKParseOptionFlags options_;
  const unsigned char* input_ = nullptr;
  std::size_t length_ = 0;
  std::size_t atIndex_ = 0;
  std::size_t lineNumber_ = 1;
  JKParseToken token_;
  std::string tokenBuffer_;
  std::optional<JKError> error_;
};
