#include "JKTokenizer.h"

#include <gtest/gtest.h>

#include <random>
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

// Token types; literals need a byte after them, and a leading zero ends a number.
TEST(JKTokenizer, TokenTypes) {
  using T = JKTokenType;
  EXPECT_EQ(tokenTypes("{ } [ ] : , true false null \"s\" -1.5e3 01 "),
            (std::vector<T>{T::ObjectBegin, T::ObjectEnd, T::ArrayBegin, T::ArrayEnd, T::Separator, T::Comma, T::True,
                            T::False, T::Null, T::String, T::Number, T::Number, T::Number}));
  for (const char* cut : {"true", "false", "null"}) EXPECT_TRUE(tokenTypes(cut).empty()) << cut;
}

// The hash computed while scanning, eight bytes at a time where it can, is
// jkStringHash of the decoded bytes, whatever the length and wherever an
// escape or a multi-byte character falls.
TEST(JKTokenizer, StringHashCoversTheDecodedBytes) {
  const std::string pieces[] = {"a", "\\u0062", "\\n", "\xC3\xA9", "\xF0\x9F\x98\x80", "Z"};
  std::mt19937 random(5);
  for (int round = 0; round < 500; ++round) {
    std::string text = "\"";
    for (std::size_t n = random() % 24; n > 0; --n) text += pieces[round % 2 ? random() % 6 : random() % 2 * 5];
    text += "\" ";
    JKTokenizer tokenizer;
    tokenizer.reset(text.data(), text.size());
    ASSERT_TRUE(tokenizer.nextToken()) << text;
    EXPECT_EQ(tokenizer.token().value.hash, jkStringHash(tokenizer.token().value.bytes)) << text;
  }
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
      {"\xEF\xBF\xBF", JKConversionSourceIllegal, 0xFFFD, 3},      // noncharacter U+FFFF
      {"\xEF\xB7\x90", JKConversionSourceIllegal, 0xFFFD, 3},      // noncharacter U+FDD0
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
