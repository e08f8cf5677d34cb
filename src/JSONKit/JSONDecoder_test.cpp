#include "JSONDecoder.h"

#include <gtest/gtest.h>

#include <cmath>

#include <string>
#include <vector>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JSONKitDeserializing.h"

namespace {

const char* const kUnexpectedToken =
    "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', 'NUMBER'.";

std::optional<JKValue> parse(const std::string& text, JKParseOptionFlags options = 0, JKError* error = nullptr) {
  JSONDecoder decoder(options);
  return decoder.objectWithUTF8String(text.data(), text.size(), error);
}

// The first string of a parsed one-element array.
std::string firstString(const std::string& text, JKParseOptionFlags options = 0) {
  JKError error;
  std::optional<JKValue> value = parse(text, options, &error);
  EXPECT_TRUE(value) << text << ": " << error.message;
  if (!value || !value->isArray() || value->array()->count() == 0) return "<none>";
  return value->array()->objectAtIndex(0).stringValue();
}

struct FailureCase {
  const char* name;
  std::string text;
  JKParseOptionFlags options;
  std::string message;
};

class DecoderFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DecoderFailure, GivesNoValueAndTheFirstError) {
  const FailureCase& c = GetParam();
  JKError error;
  std::optional<JKValue> value = parse(c.text, c.options, &error);
  EXPECT_FALSE(value);
  EXPECT_EQ(error.message, c.message);
  EXPECT_EQ(error.domain, "JKErrorDomain");
  EXPECT_EQ(error.code, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DecoderFailure,
    ::testing::Values(
        FailureCase{"Empty", "", 0, "Reached the end of the buffer."}, FailureCase{"Blanks", "  ", 0, kUnexpectedToken},
        FailureCase{"StringAtTop", "\"a\" ", 0, "Expected either '[' or '{'."},
        FailureCase{"TrueAtTop", "true ", 0, "Expected either '[' or '{'."},
        FailureCase{"TrailingText", "[1] x", 0,
                    "A valid JSON object was parsed but there were additional non-white-space characters remaining."},
        FailureCase{"TrailingComma", "[1,]", 0, "Unexpected ']'."},
        FailureCase{"LeadingComma", "[,1]", 0, "Unexpected ','."},
        FailureCase{"DoubleComma", "[1,,2]", 0, "Unexpected ','."},
        FailureCase{"ColonInArray", "[1:2]", 0, "Expected a comma or a ']', not ':'"},
        FailureCase{"CloseBraceInArray", "[}", 0, "Expected a value or a ']', not '}'"},
        FailureCase{"CloseBraceAfterComma", "[1,}", 0, "Expected a value, not '}'"},
        FailureCase{"LeadingZero", "[01]", 0, "Unexpected value."},
        FailureCase{"MissingComma", "[1 2]", 0, "Unexpected value."},
        FailureCase{"MissingColon", "{\"a\" 1}", 0, "Expected ':'."},
        FailureCase{"NumberKey", "{1:2}", 0, "Expected a \"STRING\" or a '}', not '1'"},
        FailureCase{"MissingValue", "{\"a\":}", 0, "Expected a value, not '}'"},
        FailureCase{"TrailingCommaInObject", "{\"a\":1,}", 0, "Unexpected '}'."},
        FailureCase{"MissingCommaInObject", "{\"a\":1 \"b\":2}", 0, "Unexpected string."},
        FailureCase{"LiteralAtEnd", "[true", 0, kUnexpectedToken},
        FailureCase{"BadLiteral", "[tru ]", 0, kUnexpectedToken},
        FailureCase{"Unterminated", "[1, 2 ", 0, kUnexpectedToken},
        FailureCase{"NumberAtEnd", "[1", 0, "Invalid number."}, FailureCase{"MinusAlone", "[-]", 0, "Invalid number."},
        FailureCase{"FractionWithoutDigits", "[1.]", 0, "Invalid number."},
        FailureCase{"ExponentWithoutDigits", "[1e+]", 0, "Invalid number."},
        FailureCase{"LeadingDot", "[.5]", 0, kUnexpectedToken},
        FailureCase{"AboveUint64", "[18446744073709551616]", 0,
                    "The value '18446744073709551616' exceeded the maximum value that could be represented: "
                    "18446744073709551615."},
        FailureCase{"BelowInt64", "[-9223372036854775809]", 0,
                    "The value '-9223372036854775809' exceeded the minimum value that could be represented: "
                    "-9223372036854775808."},
        FailureCase{"Overflow", "[1e400]", 0,
                    "The value '1e400' could not be represented as a 'double' due to overflow."},
        FailureCase{"NegativeOverflow", "[-1e400]", 0,
                    "The value '-1e400' could not be represented as a 'double' due to overflow."},
        FailureCase{"Underflow", "[1e-400]", 0,
                    "The value '1e-400' could not be represented as a 'double' due to underflow."},
        FailureCase{"EscapedNul", "[\"\\u0000\"]", 0, "Illegal \\u Unicode escape sequence."},
        FailureCase{"LoneLowSurrogate", "[\"\\uDE00\"]", 0, "Illegal \\u Unicode escape sequence."},
        FailureCase{"LoneHighSurrogate", "[\"\\uD83D\"]", 0,
                    "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape sequence."},
        FailureCase{"UnpairedHighSurrogate", "[\"\\uD83D\\u0041\"]", 0, "Illegal \\u Unicode escape sequence."},
        FailureCase{"EscapedNoncharacter", "[\"\\uFFFE\"]", 0, "Illegal \\u Unicode escape sequence."},
        FailureCase{"EscapedFDD0", "[\"\\uFDD0\"]", 0, "Illegal \\u Unicode escape sequence."},
        FailureCase{"BadHexDigit", "[\"\\u12G4\"]", 0,
                    "Unexpected character found in \\u Unicode escape sequence.  Found 'G', expected [0-9a-fA-F]."},
        FailureCase{"ControlInHexDigits",
                    std::string("[\"\\u12\x01"
                                "4\"]"),
                    0,
                    "Unexpected character found in \\u Unicode escape sequence.  Found '\\x01', expected "
                    "[0-9a-fA-F]."},
        FailureCase{"RawLineBreak", "[\"a\nb\"]", 0, "Invalid character < 0x20 found in string: 0x0a."},
        FailureCase{"RawNul", std::string("[\"a\0b\"]", 7), 0, "Invalid character < 0x20 found in string: 0x00."},
        FailureCase{"RawTabAfterEscape", "[\"\\n\t\"]", 0, "Invalid character < 0x20 found in string: 0x09."},
        FailureCase{"BadEscape", "[\"\\x\"]", 0, "Invalid escape sequence found in \"\" string."},
        FailureCase{"UnterminatedString", "[\"abc", 0, "Invalid string."},
        FailureCase{"UnterminatedEscape", "[\"abc\\", 0, "Invalid string."},
        FailureCase{"CutUTF8", "[\"\xE2\x82", 0, "End of buffer reached while parsing UTF8 in \"\" string."},
        FailureCase{"OverlongUTF8", "[\"\xC0\x80\"]", 0, "Illegal UTF8 sequence found in \"\" string."},
        FailureCase{"OverlongThreeBytes", "[\"\xE0\x80\xAF\"]", 0, "Illegal UTF8 sequence found in \"\" string."},
        FailureCase{"EncodedSurrogate", "[\"\xED\xA0\x80\"]", 0, "Illegal UTF8 sequence found in \"\" string."},
        FailureCase{"AboveUnicode", "[\"\xF4\x90\x80\x80\"]", 0, "Illegal UTF8 sequence found in \"\" string."},
        FailureCase{"Noncharacter", "[\"\xEF\xBF\xBE\"]", 0, "Illegal UTF8 sequence found in \"\" string."},
        FailureCase{"StrayContinuation", "[\"a\x80\"]", 0, "Illegal UTF8 sequence found in \"\" string."},
        FailureCase{"UnicodeBreakWithoutOption", "[1,\xE2\x80\xA8 2]", 0, kUnexpectedToken},
        FailureCase{"CommentWithoutOption", "[1 // c\n]", 0, kUnexpectedToken},
        FailureCase{"LoneSlash", "[1 / 2]", JKParseOptionAllowComments, kUnexpectedToken}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(JSONDecoder, ContainersTrailingTextAndRepeatedKeys) {
  std::optional<JKValue> array = parse("[]");
  std::optional<JKValue> object = parse("{}");
  ASSERT_TRUE(array && object);
  EXPECT_EQ(array->array()->count() + object->dictionary()->count(), 0u);
  EXPECT_EQ(parse("[1] x", JKParseOptionTrailingText), JKValue(JKArray::create({1}, false)));
  std::optional<JKValue> repeated = parse("{\"a\":1,\"b\":2,\"a\":3}");
  ASSERT_TRUE(repeated);
  EXPECT_EQ(repeated->dictionary()->count(), 2u);
  EXPECT_EQ(*repeated->dictionary()->objectForKey("a"), JKValue(3));
}

TEST(JSONDecoder, ScalarsAndNumbersAtTheLimits) {
  std::optional<JKValue> value = parse(
      "[true, false, null, 0, -0, 9223372036854775807, 9223372036854775808, 18446744073709551615,"
      " -9223372036854775808, 0.1, 2.5E3, 1e-310, -7]");
  ASSERT_TRUE(value);
  const JKArray& a = *value->array();
  ASSERT_EQ(a.count(), 13u);
  EXPECT_TRUE(a.objectAtIndex(0).isBool() && a.objectAtIndex(0).boolValue());
  EXPECT_TRUE(a.objectAtIndex(1).isBool() && !a.objectAtIndex(1).boolValue());
  EXPECT_TRUE(a.objectAtIndex(2).isNull());
  EXPECT_EQ(a.objectAtIndex(3).kind(), JKValue::Kind::Integer);
  EXPECT_EQ(a.objectAtIndex(4).kind(), JKValue::Kind::Double);
  EXPECT_TRUE(std::signbit(a.objectAtIndex(4).doubleValue()));
  EXPECT_EQ(a.objectAtIndex(5).kind(), JKValue::Kind::Integer);
  EXPECT_EQ(a.objectAtIndex(5).int64Value(), INT64_MAX);
  EXPECT_EQ(a.objectAtIndex(6).kind(), JKValue::Kind::UnsignedInteger);
  EXPECT_EQ(a.objectAtIndex(6).uint64Value(), 9223372036854775808ull);
  EXPECT_EQ(a.objectAtIndex(7).uint64Value(), UINT64_MAX);
  EXPECT_EQ(a.objectAtIndex(8).int64Value(), INT64_MIN);
  EXPECT_EQ(a.objectAtIndex(9).doubleValue(), 0.1);
  EXPECT_EQ(a.objectAtIndex(10).doubleValue(), 2500.0);
  EXPECT_EQ(a.objectAtIndex(11).doubleValue(), 1e-310);  // subnormal, accepted
  EXPECT_EQ(a.objectAtIndex(12).int64Value(), -7);
}

// Escapes, UTF-8, and option 4's repair of bad input with U+FFFD.
TEST(JSONDecoder, Strings) {
  const JKParseOptionFlags lenient = JKParseOptionLenientUnicode;
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    std::string text;
    JKParseOptionFlags options;
    std::string expected;
  } cases[] = {
      {"[\"plain\"]", 0, "plain"},
      {"[\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"]", 0, "\"\\/\b\f\n\r\t"},
      {"[\"\\u00e9\\u20AC\"]", 0, "\xC3\xA9\xE2\x82\xAC"},
      {"[\"\\uD83D\\uDE00\"]", 0, "\xF0\x9F\x98\x80"},
      {"[\"caf\xC3\xA9 \xF0\x9F\x98\x80\"]", 0, "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"[\"x\xE2\x80\xA8y\"]", JKParseOptionUnicodeLineBreaks, "x\xE2\x80\xA8y"},
      {"[\"a\\nb\xC3\xA9\"]", 0, "a\nb\xC3\xA9"},  // escape then UTF-8 on the copying path
      {"[\"\\u0000\"]", lenient, fffd},
      {"[\"\\uDE00x\"]", lenient, fffd + "x"},
      {"[\"\\uD83D\"]", lenient, fffd},  // the quote still ends the string
      {"[\"\\uD83Dx\"]", lenient, fffd + "x"},
      {"[\"\\uD83D\\n\"]", lenient, fffd + "\n"},
      {"[\"\\uD83D\\u0041\"]", lenient, fffd + "A"},  // the unit after a lone high surrogate is kept
      {"[\"\\uD83D\\uD83D\\uDE00\"]", lenient, fffd + "\xF0\x9F\x98\x80"},
      {"[\"a\xC0\x80z\"]", lenient, "a" + fffd + fffd + "z"},
      {"[\"\xEF\xBF\xBE\"]", lenient, fffd},
      {"[\"\xE2\x82z\"]", lenient, fffd + "z"},
  };
  for (const auto& c : cases) EXPECT_EQ(firstString(c.text, c.options), c.expected) << c.text;
}

// Line breaks (LF, CR, CR LF; with option 2 also U+2028 and U+0085) and
// comments as the error's line and index count them.
TEST(JSONDecoder, ErrorsCarryIndexAndLineAndCommentsAreWhiteSpace) {
  const JKParseOptionFlags both = JKParseOptionUnicodeLineBreaks | JKParseOptionAllowComments;
  const struct {
    std::string text;
    JKParseOptionFlags options;
    std::size_t line, index;
  } cases[] = {
      {"[\n1,\n]", 0, 3, 6},
      {"[\r\n1,\r\n]", 0, 3, 8},
      {"[1,\r\r2,\n\"a\nb\"]", 0, 4, 10},  // the raw line break inside the string
      {"[1,\xE2\x80\xA8 /* c */\xC2\x85 }", both, 3, 18},
  };
  for (const auto& c : cases) {
    JKError error;
    EXPECT_FALSE(parse(c.text, c.options, &error)) << c.text;
    EXPECT_EQ(error.lineNumber, c.line) << c.text;
    EXPECT_EQ(error.atIndex, c.index) << c.text;
  }
  EXPECT_EQ(parse("// leading\n[1, /* two\r\n lines */ 2 // end\n]", JKParseOptionAllowComments)->array()->count(), 2u);
  EXPECT_TRUE(parse("[1] /* runs to the end", JKParseOptionAllowComments));
}

TEST(JSONDecoder, NestingIsLimited) {
  const std::size_t limit = JSONDecoder::kMaxDepth;
  std::string deepest = std::string(limit, '[') + std::string(limit, ']');
  JKError error;
  EXPECT_TRUE(parse(deepest, 0, &error)) << error.message;

  std::string tooDeep = std::string(limit + 1, '[') + std::string(limit + 1, ']');
  EXPECT_FALSE(parse(tooDeep, 0, &error));
  EXPECT_EQ(error.message, "Exceeded the maximum nesting depth of 512 levels.");

  std::string hostile(1000000, '[');  // would overflow the stack without the limit
  EXPECT_FALSE(parse(hostile, 0, &error));
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_FALSE(parse(objects, 0, &error));
  EXPECT_EQ(error.message, "Exceeded the maximum nesting depth of 512 levels.");
}

TEST(JSONDecoder, MutableAndImmutableResults) {
  JSONDecoder decoder;
  std::string text = "{\"list\":[1,{\"x\":[]}]}";
  std::optional<JKValue> fixed = decoder.objectWithData(text);
  std::optional<JKValue> open = decoder.mutableObjectWithData(text);
  ASSERT_TRUE(fixed && open);
  EXPECT_EQ(*fixed, *open);

  JKArray& fixedList = *fixed->dictionary()->objectForKey("list")->array();
  EXPECT_THROW(fixed->dictionary()->setObject(1, "y"), std::logic_error);
  EXPECT_THROW(fixedList.addObject(1), std::logic_error);
  EXPECT_THROW(fixedList.objectAtIndex(1).dictionary()->removeObjectForKey("x"), std::logic_error);

  JKArray& openList = *open->dictionary()->objectForKey("list")->array();
  openList.addObject(2);
  openList.objectAtIndex(1).dictionary()->objectForKey("x")->array()->addObject("deep");
  open->dictionary()->setObject(true, "y");
  EXPECT_EQ(openList.count(), 3u);
  EXPECT_EQ(open->dictionary()->count(), 2u);
}

TEST(JSONDecoder, OneDecoderSharesEqualStringsAcrossDocuments) {
  JSONDecoder decoder;
  std::optional<JKValue> first = decoder.objectWithData("[\"shared\", {\"shared\": \"\"}]");
  std::optional<JKValue> second = decoder.objectWithData("{\"k\": \"shared\"}");
  ASSERT_TRUE(first && second);
  const JKValue::SharedString& a = first->array()->objectAtIndex(0).sharedString();
  const JKValue::SharedString& b = second->dictionary()->objectForKey("k")->sharedString();
  EXPECT_EQ(a.get(), b.get());
  const JKDictionary& inner = *first->array()->objectAtIndex(1).dictionary();
  EXPECT_EQ(inner.begin()->key.get(), a.get());  // a key and a value share the object too
  EXPECT_EQ(inner.begin()->object.sharedString().get(), jkEmptyString().get());

  decoder.clearCache();
  std::optional<JKValue> third = decoder.objectWithData("[\"shared\"]");
  EXPECT_NE(third->array()->objectAtIndex(0).sharedString().get(), a.get());
  EXPECT_EQ(third->array()->objectAtIndex(0).stringValue(), "shared");
}

template <typename Exception, typename Action>
std::string messageOf(Action action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.what();
  }
  return "<no exception>";
}

TEST(JSONDecoder, MisuseThrows) {
  using Invalid = std::invalid_argument;
  EXPECT_THROW(JSONDecoder(16), Invalid);
  EXPECT_EQ(messageOf<Invalid>([] { JSONDecoder(JKParseOptionValidFlags + 1); }), "Invalid parse options.");
  JSONDecoder decoder;
  EXPECT_EQ(messageOf<Invalid>([&] { decoder.objectWithUTF8String(nullptr, 0); }), "The string argument is NULL.");
  EXPECT_EQ(messageOf<Invalid>([&] { decoder.objectWithData(std::string_view()); }), "The jsonData argument is NULL.");
  JSONDecoder moved = std::move(decoder);
  EXPECT_EQ(messageOf<std::logic_error>([&] { decoder.objectWithData("[]"); }), "parseState is NULL.");
  EXPECT_TRUE(moved.objectWithData("[]"));
}

TEST(JSONDecoder, OneShotFunctions) {
  JKError error;
  EXPECT_FALSE(objectFromJSONString("[1,\"a\"]", 0, &error)->array()->isMutable());
  EXPECT_TRUE(mutableObjectFromJSONString("[]")->array()->isMutable());
  EXPECT_TRUE(mutableObjectFromJSONData({'{', '}'})->dictionary()->isMutable());
  EXPECT_FALSE(objectFromJSONData({}, 0, &error));
  EXPECT_EQ(error.message, "Reached the end of the buffer.");
  EXPECT_THROW(objectFromJSONString("[]", 99), std::invalid_argument);
}

TEST(JSONDecoder, ReusedDecoderStartsEachParseAfresh) {
  JSONDecoder decoder;
  JKError error;
  EXPECT_FALSE(decoder.objectWithData("[1,]", &error));
  // A long escaped string makes the buffers grow; the next parse must not see any of it.
  std::string big = "[\"" + std::string(200000, 'x') + "\\n\"," + std::string(10000, '1') + "]";
  EXPECT_FALSE(decoder.objectWithData(big, &error));
  std::optional<JKValue> value = decoder.objectWithData("[\"ok\\n\"]", &error);
  ASSERT_TRUE(value) << error.message;
  EXPECT_EQ(value->array()->objectAtIndex(0).stringValue(), "ok\n");
}

}  // namespace
