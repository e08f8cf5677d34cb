#include "JKTokenizer.h"

#include <charconv>
#include <clocale>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>

#include "JKFormat.h"
#include "JKStringHash.h"
#include "JKUTF8.h"

namespace {

const char* const kUnexpectedToken =
    "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', 'NUMBER'.";
const char* const kIllegalEscape = "Illegal \\u Unicode escape sequence.";

bool isDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}

int hexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bit 7 is set in some byte of the result when a byte of `word` is one that
// ends a plain run of a string: a double quote, a backslash, a byte below 0x20
// or one of 0x80 and above. The lowest byte marked is always such a byte
// (bytes after it may be marked wrongly, by a borrow). Little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "stopBytes reads the first byte as the lowest");
inline std::uint64_t stopBytes(std::uint64_t word) {
  constexpr std::uint64_t ones = 0x0101010101010101ull;
  constexpr std::uint64_t highs = 0x8080808080808080ull;
  auto zeroBytes = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
  return zeroBytes(word ^ (ones * '"')) | zeroBytes(word ^ (ones * '\\')) | ((word - ones * 0x20) & ~word & highs) |
         (word & highs);
}

// jkStringHash continued over eight bytes: h * 33^8 + b0 * 33^7 + ... + b7,
// with the multiplications independent of each other.
inline std::uint64_t hashEightBytes(std::uint64_t hash, const unsigned char* p) {
  constexpr std::uint64_t p1 = 33, p2 = p1 * 33, p3 = p2 * 33, p4 = p3 * 33, p5 = p4 * 33, p6 = p5 * 33, p7 = p6 * 33,
                          p8 = p7 * 33;
  return hash * p8 + p[0] * p7 + p[1] * p6 + p[2] * p5 + p[3] * p4 + p[4] * p3 + p[5] * p2 + p[6] * p1 + p[7];
}

// strtod in the "C" locale, whatever locale the process runs in.
double strtodInCLocale(const std::string& text) {
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(text.c_str(), nullptr, cLocale);
}

}  // namespace

void JKTokenizer::reset(const char* bytes, std::size_t length) {
  input_ = reinterpret_cast<const unsigned char*>(bytes);
  length_ = length;
  atIndex_ = 0;
  lineNumber_ = 1;
  token_ = JKParseToken();
  error_.reset();
}

void JKTokenizer::finish() {
  reset(nullptr, 0);
}

void JKTokenizer::trimBuffer(std::size_t bytes) {
  if (tokenBuffer_.capacity() > bytes) std::string().swap(tokenBuffer_);
}

void JKTokenizer::recordError(const char* format, ...) {
  if (error_) return;
  char small[512];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  JKError error;
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof small) {
    error.message.assign(small, static_cast<std::size_t>(length));
  } else {
    error.message = small;  // every message here is short; a cut is harmless
  }
  error.atIndex = atIndex_;
  error.lineNumber = lineNumber_;
  error_ = std::move(error);
}

bool JKTokenizer::failAt(std::size_t index, const char* message) {
  atIndex_ = index;
  recordError("%s", message);
  return false;
}

// --- white space -------------------------------------------------------------

// The byte length of a line break at index (LF, CR, CR LF, and with the option
// U+0085, U+2028, U+2029), or 0.
std::size_t JKTokenizer::lineBreakLength(std::size_t index) const {
  unsigned char c = input_[index];
  if (c == '\n') return 1;
  if (c == '\r') return (index + 1 < length_ && input_[index + 1] == '\n') ? 2 : 1;
  if (!(options_ & JKParseOptionUnicodeLineBreaks)) return 0;
  if (c == 0xC2 && index + 1 < length_ && input_[index + 1] == 0x85) return 2;
  if (c == 0xE2 && index + 2 < length_ && input_[index + 1] == 0x80 &&
      (input_[index + 2] == 0xA8 || input_[index + 2] == 0xA9)) {
    return 3;
  }
  return 0;
}

void JKTokenizer::skipBlockComment() {
  atIndex_ += 2;  // past "/*"
  while (atIndex_ < length_) {
    if (input_[atIndex_] == '*' && atIndex_ + 1 < length_ && input_[atIndex_ + 1] == '/') {
      atIndex_ += 2;
      return;
    }
    if (std::size_t breakLength = lineBreakLength(atIndex_)) {
      atIndex_ += breakLength;
      ++lineNumber_;
    } else {
      ++atIndex_;
    }
  }
}

void JKTokenizer::skipWhitespace() {
  while (atIndex_ < length_) {
    unsigned char c = input_[atIndex_];
    if (c == ' ' || c == '\t') {
      ++atIndex_;
    } else if (std::size_t breakLength = lineBreakLength(atIndex_)) {
      atIndex_ += breakLength;
      ++lineNumber_;
    } else if (c == '/' && (options_ & JKParseOptionAllowComments) && atIndex_ + 1 < length_ &&
               input_[atIndex_ + 1] == '/') {
      atIndex_ += 2;
      while (atIndex_ < length_ && lineBreakLength(atIndex_) == 0) ++atIndex_;
    } else if (c == '/' && (options_ & JKParseOptionAllowComments) && atIndex_ + 1 < length_ &&
               input_[atIndex_ + 1] == '*') {
      skipBlockComment();
    } else {
      return;
    }
  }
}

// --- tokens ------------------------------------------------------------------

// A literal counts only when at least one byte follows it: a document cannot
// end in a literal anyway, since the top level is always a container.
bool JKTokenizer::matchLiteral(const char* literal, std::size_t length) {
  return atIndex_ + length < length_ && std::memcmp(input_ + atIndex_, literal, length) == 0;
}

bool JKTokenizer::nextToken() {
  // Compact text has no white space between tokens: a printable ASCII byte
  // other than "/" cannot start white space, a line break or a comment.
  if (atIndex_ >= length_ || !(input_[atIndex_] > ' ' && input_[atIndex_] < 0x7F && input_[atIndex_] != '/')) {
    skipWhitespace();
  }
  token_.type = JKTokenType::Invalid;
  token_.value.type = JKValueType::None;
  if (atIndex_ >= length_) {
    recordError("%s", kUnexpectedToken);
    return false;
  }
  std::size_t start = atIndex_;
  std::size_t tokenLength = 1;
  bool ok = true;
  switch (input_[atIndex_]) {
    case '"': ok = parseString(); break;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': ok = parseNumber(); break;
    case '{': token_.type = JKTokenType::ObjectBegin; break;
    case '}': token_.type = JKTokenType::ObjectEnd; break;
    case '[': token_.type = JKTokenType::ArrayBegin; break;
    case ']': token_.type = JKTokenType::ArrayEnd; break;
    case ':': token_.type = JKTokenType::Separator; break;
    case ',': token_.type = JKTokenType::Comma; break;
    case 't':
      ok = matchLiteral("true", 4);
      token_.type = JKTokenType::True;
      tokenLength = 4;
      break;
    case 'f':
      ok = matchLiteral("false", 5);
      token_.type = JKTokenType::False;
      tokenLength = 5;
      break;
    case 'n':
      ok = matchLiteral("null", 4);
      token_.type = JKTokenType::Null;
      tokenLength = 4;
      break;
    default: ok = false; break;
  }
  if (!ok) return failToken();
  if (token_.type != JKTokenType::String && token_.type != JKTokenType::Number) atIndex_ = start + tokenLength;
  token_.text = std::string_view(reinterpret_cast<const char*>(input_) + start, atIndex_ - start);
  return true;
}

bool JKTokenizer::failToken() {
  token_.type = JKTokenType::Invalid;
  recordError("%s", kUnexpectedToken);
  return false;
}

// --- strings -----------------------------------------------------------------

// The common case: no escapes and well-formed UTF-8, so the value is the input
// itself and nothing is copied, and the hash is computed during the scan.
// Runs of eight plain bytes are checked and hashed at once. Anything else
// continues in parseSlowString.
bool JKTokenizer::parseString() {
  std::size_t start = atIndex_;
  std::size_t index = start + 1;
  std::uint64_t hash = JKStringHashSeed;
  for (;;) {
    while (index + 8 <= length_) {
      std::uint64_t word;
      std::memcpy(&word, input_ + index, sizeof word);
      if (std::uint64_t stops = stopBytes(word)) {
        // The lowest marked byte is a real stop byte; the ones before it are plain.
        for (int plain = __builtin_ctzll(stops) / 8; plain > 0; --plain) hash = hash * 33 + input_[index++];
        break;
      }
      hash = hashEightBytes(hash, input_ + index);
      index += 8;
    }
    if (index >= length_) break;
    unsigned char c = input_[index];
    if (c == '"') {
      std::string_view bytes(reinterpret_cast<const char*>(input_) + start + 1, index - start - 1);
      token_.type = JKTokenType::String;
      token_.value.type = JKValueType::String;
      token_.value.bytes = bytes;
      token_.value.hash = hash;
      atIndex_ = index + 1;
      return true;
    }
    if (c < 0x20) {
      atIndex_ = index;
      recordError("Invalid character < 0x20 found in string: 0x%2.2x.", c);
      return failAt(index, "Invalid string.");
    }
    if (c == '\\') break;
    if (c < 0x80) {
      hash = hash * 33 + c;
      ++index;
      continue;
    }
    const unsigned char* next;
    std::uint32_t codePoint;
    if (ConvertSingleCodePointInUTF8(input_ + index, input_ + length_, &next, &codePoint) != JKConversionOK) break;
    for (; input_ + index < next; ++index) hash = hash * 33 + input_[index];
  }
  if (index >= length_) return failAt(index, "Invalid string.");
  tokenBuffer_.assign(reinterpret_cast<const char*>(input_) + start + 1, index - start - 1);
  return parseSlowString(index);
}

bool JKTokenizer::parseSlowString(std::size_t index) {
  while (index < length_) {
    unsigned char c = input_[index];
    if (c == '"') {
      token_.type = JKTokenType::String;
      token_.value.type = JKValueType::String;
      token_.value.bytes = tokenBuffer_;
      token_.value.hash = jkStringHash(tokenBuffer_);
      atIndex_ = index + 1;
      return true;
    }
    if (c == '\\') {
      if (!parseEscape(&index)) return failAt(atIndex_, "Invalid string.");
      continue;
    }
    if (c < 0x20) {
      atIndex_ = index;
      recordError("Invalid character < 0x20 found in string: 0x%2.2x.", c);
      return failAt(index, "Invalid string.");
    }
    if (c < 0x80) {
      tokenBuffer_.push_back(static_cast<char>(c));
      ++index;
      continue;
    }
    const unsigned char* next;
    std::uint32_t codePoint;
    JKConversionResult result = ConvertSingleCodePointInUTF8(input_ + index, input_ + length_, &next, &codePoint);
    if (result == JKConversionSourceExhausted) {
      atIndex_ = index;
      recordError("End of buffer reached while parsing UTF8 in \"\" string.");
      return failAt(index, "Invalid string.");
    }
    if (result == JKConversionSourceIllegal) {
      if (!(options_ & JKParseOptionLenientUnicode)) {
        atIndex_ = index;
        recordError("Illegal UTF8 sequence found in \"\" string.");
        return failAt(index, "Invalid string.");
      }
      jkAppendUTF8(tokenBuffer_, JKReplacementCharacter);
    } else {
      tokenBuffer_.append(reinterpret_cast<const char*>(input_) + index,
                          static_cast<std::size_t>(next - input_) - index);
    }
    index = static_cast<std::size_t>(next - input_);
  }
  return failAt(index, "Invalid string.");
}

// At a backslash: decodes one escape into the buffer and moves *index past it.
// On failure atIndex_ is left at the offending place.
bool JKTokenizer::parseEscape(std::size_t* index) {
  std::size_t at = *index;
  atIndex_ = at;
  if (at + 1 >= length_) return false;
  unsigned char escaped = input_[at + 1];
  char decoded;
  switch (escaped) {
    case '"': decoded = '"'; break;
    case '/': decoded = '/'; break;
    case '\\': decoded = '\\'; break;
    case 'b': decoded = '\b'; break;
    case 'f': decoded = '\f'; break;
    case 'n': decoded = '\n'; break;
    case 'r': decoded = '\r'; break;
    case 't': decoded = '\t'; break;
    case 'u': return parseUnicodeEscape(index);
    default: recordError("Invalid escape sequence found in \"\" string."); return false;
  }
  tokenBuffer_.push_back(decoded);
  *index = at + 2;
  return true;
}

bool JKTokenizer::readHex4(std::size_t index, std::uint32_t* unit) {
  *unit = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (index + i >= length_) {
      atIndex_ = index + i;
      return false;  // the string is unterminated
    }
    unsigned char c = input_[index + i];
    int digit = hexValue(c);
    if (digit < 0) {
      atIndex_ = index + i;
      // The offending byte is shown as itself when printable, else as a hex escape.
      if (c >= 0x20 && c < 0x7F) {
        recordError("Unexpected character found in \\u Unicode escape sequence.  Found '%c', expected [0-9a-fA-F].", c);
      } else {
        recordError(
            "Unexpected character found in \\u Unicode escape sequence.  Found '\\x%2.2x', expected [0-9a-fA-F].", c);
      }
      return false;
    }
    *unit = (*unit << 4) | static_cast<std::uint32_t>(digit);
  }
  return true;
}

// At "\u": decodes one code point, or a surrogate pair written as two escapes.
// With lenient Unicode every illegal unit becomes U+FFFD and whatever follows
// a lone high surrogate is read again on its own, so nothing valid is lost.
bool JKTokenizer::parseUnicodeEscape(std::size_t* index) {
  bool lenient = (options_ & JKParseOptionLenientUnicode) != 0;
  std::size_t at = *index;
  std::uint32_t unit;
  if (!readHex4(at + 2, &unit)) return false;
  std::size_t after = at + 6;
  std::uint32_t codePoint = unit;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (after >= length_ || (input_[after] == '\\' && after + 1 >= length_)) {
      atIndex_ = after;
      return false;  // the string is unterminated
    }
    std::uint32_t low = 0;
    bool hasSecondEscape = input_[after] == '\\' && input_[after + 1] == 'u';
    if (hasSecondEscape) {
      if (!readHex4(after + 2, &low)) return false;
    }
    if (hasSecondEscape && low >= 0xDC00 && low <= 0xDFFF) {
      codePoint = ((unit - 0xD800) << 10) + (low - 0xDC00) + 0x10000;
      after += 6;
    } else {
      atIndex_ = after;
      if (!lenient) {
        if (hasSecondEscape) {
          recordError("%s", kIllegalEscape);
        } else {
          recordError(
              "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape sequence.");
        }
        return false;
      }
      codePoint = JKReplacementCharacter;  // and what follows is read on its own
    }
  }
  if (!jkIsLegalCodePoint(codePoint)) {
    if (!lenient) {
      atIndex_ = at;
      recordError("%s", kIllegalEscape);
      return false;
    }
    codePoint = JKReplacementCharacter;
  }
  jkAppendUTF8(tokenBuffer_, codePoint);
  *index = after;
  return true;
}

// --- numbers -----------------------------------------------------------------

bool JKTokenizer::parseNumber() {
  std::size_t start = atIndex_;
  std::size_t i = start;
  bool isDouble = false;
  auto invalid = [&](std::size_t at) {
    atIndex_ = at;
    recordError("Invalid number.");
    return false;
  };
  if (input_[i] == '-') ++i;
  if (i >= length_) return invalid(i);
  // The integer part is accumulated while it is scanned: up to 19 digits
  // cannot overflow 64 bits, so a plain integer needs no conversion call.
  std::uint64_t magnitude = 0;
  if (input_[i] == '0') {
    ++i;
  } else if (input_[i] >= '1' && input_[i] <= '9') {
    while (i < length_ && isDigit(input_[i])) magnitude = magnitude * 10 + (input_[i++] - '0');
  } else {
    return invalid(i);
  }
  if (i < length_ && input_[i] == '.') {
    ++i;
    if (i >= length_ || !isDigit(input_[i])) return invalid(i);
    while (i < length_ && isDigit(input_[i])) ++i;
    isDouble = true;
  }
  if (i < length_ && (input_[i] == 'e' || input_[i] == 'E')) {
    ++i;
    if (i < length_ && (input_[i] == '+' || input_[i] == '-')) ++i;
    if (i >= length_ || !isDigit(input_[i])) return invalid(i);
    while (i < length_ && isDigit(input_[i])) ++i;
    isDouble = true;
  }
  // A number must be ended by a byte that is not part of it.
  if (i >= length_) return invalid(i);
  std::string_view text(reinterpret_cast<const char*>(input_) + start, i - start);
  if (text == "-0") isDouble = true;  // minus zero exists only as a double
  if (!isDouble && takeInteger(text, magnitude)) {
    token_.type = JKTokenType::Number;
    atIndex_ = i;
    return true;
  }
  if (!convertNumber(text, isDouble)) return false;
  token_.type = JKTokenType::Number;
  atIndex_ = i;
  return true;
}

// Sets the token's value to the integer `text` whose digits make `magnitude`,
// when it has at most 19 digits (so `magnitude` is exact) and fits its type;
// otherwise leaves it to convertNumber, which reports what does not fit.
bool JKTokenizer::takeInteger(std::string_view text, std::uint64_t magnitude) {
  bool negative = text[0] == '-';
  if (text.size() - (negative ? 1 : 0) > 19) return false;
  JKTokenValue& value = token_.value;
  if (!negative) {
    value.type = JKValueType::UnsignedLongLong;
    value.unsignedLongLongValue = magnitude;
    return true;
  }
  constexpr std::uint64_t kMinMagnitude = static_cast<std::uint64_t>(std::numeric_limits<long long>::max()) + 1;
  if (magnitude > kMinMagnitude) return false;
  value.type = JKValueType::LongLong;
  value.longLongValue =
      magnitude == kMinMagnitude ? std::numeric_limits<long long>::min() : -static_cast<long long>(magnitude);
  return true;
}

// Converts the number text with std::from_chars, which ignores the locale.
bool JKTokenizer::convertNumber(std::string_view text, bool isDouble) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  std::from_chars_result result{};
  JKTokenValue& value = token_.value;
  std::string terminated;  // the text as a C string, for messages only
  if (isDouble) {
    value.type = JKValueType::Double;
    result = std::from_chars(first, last, value.doubleValue);
    if (result.ec == std::errc::result_out_of_range) {
      // Subnormal results are accepted by from_chars; only a result of zero
      // or infinity lands here.
      terminated.assign(text);
      double rounded = strtodInCLocale(terminated);
      recordError("The value '%s' could not be represented as a 'double' due to %s.", terminated.c_str(),
                  rounded == 0.0 ? "underflow" : "overflow");
      return false;
    }
  } else if (text[0] == '-') {
    value.type = JKValueType::LongLong;
    result = std::from_chars(first, last, value.longLongValue);
    if (result.ec == std::errc::result_out_of_range) {
      terminated.assign(text);
      recordError("The value '%s' exceeded the minimum value that could be represented: %lld.", terminated.c_str(),
                  std::numeric_limits<long long>::min());
      return false;
    }
  } else {
    value.type = JKValueType::UnsignedLongLong;
    result = std::from_chars(first, last, value.unsignedLongLongValue);
    if (result.ec == std::errc::result_out_of_range) {
      terminated.assign(text);
      recordError("The value '%s' exceeded the maximum value that could be represented: %llu.", terminated.c_str(),
                  std::numeric_limits<unsigned long long>::max());
      return false;
    }
  }
  if (result.ec != std::errc()) {
    recordError("Invalid number.");
    return false;
  }
  if (result.ptr != last) {
    recordError("The conversion function did not consume all of the number tokens characters.");
    return false;
  }
  return true;
}
