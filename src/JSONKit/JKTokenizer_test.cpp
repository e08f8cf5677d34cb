#include "JKTokenizer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "JKStringHash.h"
#include "JKUTF8.h"

namespace {

std::vector<JKTokenType> tokenTypes(const std::string& text, JKParseOptionFlags options = 0) {
  JKTokenizer tokenizer(options);
  tokenizer.reset(text.data(), text.size());
  std::vector<JKTokenType> types;
  while (tokenizer.nextToken()) types.push_back(tokenizer.token().type);
  return types;
}

TEST(JKTokenizer, TokenTypesAndNumberKinds) {
  using T = JKTokenType;
  EXPECT_EQ(tokenTypes("{ } [ ] : , true false null \"s\" -1.5e3 "),
            (std::vector<T>{T::ObjectBegin, T::ObjectEnd, T::ArrayBegin, T::ArrayEnd, T::Separator, T::Comma, T::True,
                            T::False, T::Null, T::String, T::Number}));
  // Literals and numbers need a byte after them; a leading zero ends the number.
  struct Case {
    const char* text;
    std::size_t tokens;
    const char* first;
    JKValueType type;
  } cases[] = {{"true", 0, "", {}},
               {"false", 0, "", {}},
               {"null", 0, "", {}},
               {"01 ", 2, "0", JKValueType::UnsignedLongLong},
               {"0 ", 1, "0", JKValueType::UnsignedLongLong},
               {"-0 ", 1, "-0", JKValueType::Double},
               {"-1 ", 1, "-1", JKValueType::LongLong},
               {"18446744073709551615 ", 1, "18446744073709551615", JKValueType::UnsignedLongLong},
               {"1.0 ", 1, "1.0", JKValueType::Double},
               {"1e5 ", 1, "1e5", JKValueType::Double},
               {"-0.0 ", 1, "-0.0", JKValueType::Double}};
  for (const Case& c : cases) {
    EXPECT_EQ(tokenTypes(c.text).size(), c.tokens) << c.text;
    if (c.tokens == 0) continue;
    JKTokenizer tokenizer;
    tokenizer.reset(c.text, std::strlen(c.text));
    ASSERT_TRUE(tokenizer.nextToken()) << c.text;
    EXPECT_EQ(tokenizer.token().text, c.first);
    EXPECT_EQ(tokenizer.token().value.type, c.type) << c.text;
  }
  EXPECT_EQ(tokenTypes("null ").size(), 1u);
}

TEST(JKTokenizer, StringHashCoversTheDecodedBytes) {
  JKTokenizer tokenizer;
  std::string text = "\"a\\u0062c\" \"abc\"";
  tokenizer.reset(text.data(), text.size());
  ASSERT_TRUE(tokenizer.nextToken());
  std::uint64_t escaped = tokenizer.token().value.hash;
  EXPECT_EQ(tokenizer.token().value.bytes, "abc");
  ASSERT_TRUE(tokenizer.nextToken());
  EXPECT_EQ(tokenizer.token().value.hash, escaped);
  EXPECT_EQ(escaped, jkStringHash("abc"));
  EXPECT_EQ(jkStringHash(""), 1402737925u);
}

TEST(ConvertSingleCodePointInUTF8, WellFormednessTable) {
  struct Case {
    std::string bytes;
    JKConversionResult result;
    std::uint32_t codePoint;
    std::size_t consumed;
  } cases[] = {
      {"A", JKConversionOK, 0x41, 1},
      {"\xC3\xA9", JKConversionOK, 0xE9, 2},
      {"\xE2\x82\xAC", JKConversionOK, 0x20AC, 3},
      {"\xF0\x9F\x98\x80", JKConversionOK, 0x1F600, 4},
      {"\xF4\x8F\xBF\xBD", JKConversionOK, 0x10FFFD, 4},
      {"\xC1\xBF", JKConversionSourceIllegal, 0xFFFD, 1},      // overlong lead
      {"\xE0\x9F\xBF", JKConversionSourceIllegal, 0xFFFD, 1},  // overlong after E0
      {"\xED\xA0\x80", JKConversionSourceIllegal, 0xFFFD, 1},  // surrogate after ED
      {"\xF0\x8F\xBF\xBF", JKConversionSourceIllegal, 0xFFFD, 1},
      {"\xF4\x90\x80\x80", JKConversionSourceIllegal, 0xFFFD, 1},
      {"\xF5\x80", JKConversionSourceIllegal, 0xFFFD, 1},
      {"\xE2\x82x", JKConversionSourceIllegal, 0xFFFD, 2},  // skips the part that belongs to it
      {"\xE2\x82", JKConversionSourceExhausted, 0xFFFD, 2},
      {"\xEF\xBF\xBF", JKConversionSourceIllegal, 0xFFFD, 3},  // noncharacter U+FFFF
      {"\xEF\xB7\x90", JKConversionSourceIllegal, 0xFFFD, 3},  // noncharacter U+FDD0
      {"\xF0\x9F\xBF\xBE", JKConversionSourceIllegal, 0xFFFD, 4},  // U+1FFFE
  };
  for (const Case& c : cases) {
    const auto* start = reinterpret_cast<const unsigned char*>(c.bytes.data());
    const unsigned char* next = nullptr;
    std::uint32_t codePoint = 0;
    EXPECT_EQ(ConvertSingleCodePointInUTF8(start, start + c.bytes.size(), &next, &codePoint), c.result) << c.bytes;
    EXPECT_EQ(codePoint, c.codePoint) << c.bytes;
    EXPECT_EQ(static_cast<std::size_t>(next - start), c.consumed) << c.bytes;
    if (c.result != JKConversionOK) continue;
    std::string encoded;  // and the encoder writes the same bytes back
    jkAppendUTF8(encoded, codePoint);
    EXPECT_EQ(encoded, c.bytes);
  }
}

}  // namespace
