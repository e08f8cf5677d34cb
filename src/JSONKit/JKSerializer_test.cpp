#include "JKSerializer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JSONKitDeserializing.h"
#include "JSONKitSerializing.h"

namespace {

JKValue array(std::vector<JKValue> values) {
  return JKValue(JKArray::create(std::move(values), true));
}

JKValue dictionary(std::vector<std::pair<std::string, JKValue>> pairs) {
  auto d = JKDictionary::create(true);
  for (auto& [key, value] : pairs) d->setObject(value, key);
  return JKValue(d);
}

std::string compact(const JKValue& value, JKSerializeOptionFlags options = 0) {
  JKError error;
  std::optional<std::string> text = JSONString(value, options, &error);
  EXPECT_TRUE(text) << error.message;
  return text.value_or("<failed>");
}

std::string failure(const JKValue& value, JKSerializeOptionFlags options = 0) {
  JKError error;
  EXPECT_FALSE(JSONString(value, options, &error));
  EXPECT_EQ(error.domain, "JKErrorDomain");
  EXPECT_EQ(error.code, -1);
  return error.message;
}

TEST(JKSerializer, Scalars) {
  EXPECT_EQ(compact(array({nullptr, true, false, 0, -1, INT64_MIN, INT64_MAX, UINT64_MAX})),
            "[null,true,false,0,-1,-9223372036854775808,9223372036854775807,18446744073709551615]");
  EXPECT_EQ(compact(array({0.1, -0.0, 2.0, 1e300, 1e-310, 0.5})),
            "[0.10000000000000001,-0,2,1.0000000000000001e+300,9.9999999999999694e-311,0.5]");
  for (double d : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})
    EXPECT_EQ(failure(array({d})), "Floating point values must be finite.  JSON does not support NaN or Infinity.");
}

TEST(JKSerializer, StringEscapes) {
  std::string text = std::string("q\"b\\t\tc") + '\x01' + "/s\x7f";
  EXPECT_EQ(compact(array({text})), "[\"q\\\"b\\\\t\\tc\\u0001/s\x7f\"]");
  EXPECT_EQ(compact(array({text}), JKSerializeOptionSlashEscapes), "[\"q\\\"b\\\\t\\tc\\u0001\\/s\x7f\"]");
  EXPECT_EQ(compact(array({std::string("\b\f\n\r\x1f", 5)})), "[\"\\b\\f\\n\\r\\u001f\"]");
}

TEST(JKSerializer, NonASCII) {
  std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ(compact(array({text})), "[\"" + text + "\"]");
  EXPECT_EQ(compact(array({text}), JKSerializeOptionUnicodeEscapes), "[\"caf\\u00e9 \\u20ac \\ud83d\\ude00\"]");
  EXPECT_EQ(failure(array({std::string("bad \xC3")})),
            "An error occurred converting the contents of a NSString to UTF8.");
  EXPECT_EQ(failure(array({std::string("bad \xED\xA0\x80")})),
            "An error occurred converting the contents of a NSString to UTF8.");
  EXPECT_EQ(failure(array({std::string("\xEF\xBF\xBE")}), JKSerializeOptionUnicodeEscapes), "Error converting UTF8.");
}

TEST(JKSerializer, RepeatedStringObjectIsWrittenTwice) {
  JKValue shared("same \"text\"");
  auto list = JKArray::create({shared, shared, JKValue("same \"text\""), shared}, false);
  EXPECT_EQ(compact(JKValue(list)),
            "[\"same \\\"text\\\"\",\"same \\\"text\\\"\",\"same \\\"text\\\"\",\"same \\\"text\\\"\"]");
  // Many distinct objects fill and overwrite the encode cache; output stays right.
  std::vector<JKValue> many;
  std::string expected = "[";
  for (int i = 0; i < 5000; ++i) {
    std::string s = "s" + std::to_string(i % 37);
    many.push_back(i % 3 ? JKValue(s) : shared);
    expected += (i ? "," : "") + std::string(i % 3 ? "\"" + s + "\"" : "\"same \\\"text\\\"\"");
  }
  EXPECT_EQ(compact(array(many)), expected + "]");
}

TEST(JKSerializer, PrettyOutput) {
  JKValue value = dictionary({{"zeta", array({1, array({})})}, {"alpha", dictionary({{"b", "x"}, {"a", nullptr}})}});
  EXPECT_EQ(compact(value, JKSerializeOptionPretty),
            "{\n"
            "  \"alpha\": {\n"
            "    \"a\": null,\n"
            "    \"b\": \"x\"\n"
            "  },\n"
            "  \"zeta\": [\n"
            "    1,\n"
            "    [\n"
            "      \n"
            "    ]\n"
            "  ]\n"
            "}");
  EXPECT_EQ(compact(array({}), JKSerializeOptionPretty), "[\n  \n]");
}

TEST(JKSerializer, TopLevelRequirementsAndEntryPoints) {
  JKError error;
  EXPECT_FALSE(JSONString(JKValue("text"), 0, &error));
  EXPECT_EQ(error.message, "Unable to serialize object class string, expected a NSArray or NSDictionary.");
  EXPECT_FALSE(JSONData(JKValue(5), 0, &error));
  EXPECT_EQ(error.message, "Unable to serialize object class integer, expected a NSArray or NSDictionary.");
  EXPECT_FALSE(
      JKSerializer::serializeObject(JKValue(1), 0, JKEncodeOptionStringObj | JKEncodeOptionResultString, &error));
  EXPECT_EQ(error.message, "Unable to serialize object class integer, expected a NSString.");
  EXPECT_FALSE(JKSerializer::serializeObject(array({}), 0, 4, &error));
  EXPECT_EQ(error.message, "Unknown encode as type.");
  EXPECT_THROW(JKSerializer::serializeObject(array({}), 0, JKEncodeOptionCollectionObj | JKEncodeOptionStringObj | 2),
               std::logic_error);
  EXPECT_THROW(JKSerializer::serializeObject(JKValue("s"), 0, JKEncodeOptionStringObjTrimQuotes | 2), std::logic_error);
  // Without a requirement any value is written.
  EXPECT_EQ(JKSerializer::serializeObject(JKValue(7), 0, JKEncodeOptionResultString), "7");
  EXPECT_EQ(JSONString(std::string("a/\"b\"")), "\"a/\\\"b\\\"\"");
  EXPECT_EQ(JSONString(std::string("a/\"b\""), JKSerializeOptionSlashEscapes, false), "a\\/\\\"b\\\"");
  std::optional<std::vector<std::uint8_t>> data = JSONData(std::string("x"), 0, false);
  EXPECT_EQ(std::string(data->begin(), data->end()), "x");
  EXPECT_EQ(*JSONData(array({1})), (std::vector<std::uint8_t>{'[', '1', ']'}));
}

TEST(JKSerializer, DepthIsLimitedAndSelfContainingContainersFail) {
  JKValue deepest = array({});
  for (std::size_t i = 1; i < JKSerializer::kMaxDepth; ++i) deepest = array({deepest});
  EXPECT_TRUE(JSONString(deepest));
  JKError error;
  EXPECT_FALSE(JSONString(array({deepest}), 0, &error));
  EXPECT_EQ(error.message, "Unable to serialize: nesting deeper than 512 levels (does a container hold itself?).");

  auto loop = JKArray::create({}, true);
  loop->addObject(JKValue(loop));
  EXPECT_FALSE(JSONString(JKValue(loop), 0, &error));
  EXPECT_EQ(error.message, "Unable to serialize: nesting deeper than 512 levels (does a container hold itself?).");
  loop->removeObjectAtIndex(0);  // break the cycle so the test does not leak
}

TEST(JKSerializer, LargeOutputGrowsSafely) {
  // Every byte of these strings expands six-fold; nothing may be written past the buffer.
  std::string controls(100000, '\x01');
  std::optional<std::string> text = JSONString(array({controls, controls}));
  ASSERT_TRUE(text);
  EXPECT_EQ(text->size(), 2 + 2 * (2 + 6 * controls.size()) + 1);
}

// What we write must parse again with the default options: strings holding
// code points the decoder refuses are refused here too, under every option.
TEST(JKSerializer, WritesOnlyWhatTheDecoderReads) {
  const std::string refused[] = {std::string("a\0b", 3), "\xEF\xBF\xBE", "\xEF\xB7\x90", "\xF0\x9F\xBF\xBF"};
  for (const std::string& text : refused) {
    for (JKSerializeOptionFlags options : {JKSerializeOptionNone, JKSerializeOptionUnicodeEscapes,
                                           JKSerializeOptionPretty | JKSerializeOptionSlashEscapes}) {
      JKError error;
      std::optional<std::string> json = JSONString(array({"ok", text}), options, &error);
      if (json) {
        EXPECT_TRUE(objectFromJSONString(*json)) << *json;
      }
      EXPECT_EQ(error.message, "Error converting UTF8.") << options;
    }
  }
}

}  // namespace
