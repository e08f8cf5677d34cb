// Parse, serialize with each option set, parse again: the values must be
// equal, and serializing the re-parsed value must give the same text.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JSONDecoder.h"
#include "JSONKitDeserializing.h"
#include "JSONKitSerializing.h"

namespace {

const char* const kDocument = R"({
  "tracks": [
    {"id": "1001", "title": "Caf\u00e9 \ud83d\ude00 / \"quoted\"", "duration": 215000, "rating": 4.5,
     "streamable": true, "composerName": null, "context": ["playlist", "49803"], "empty": "", "nested": [[], {}]},
    {"id": "1002", "title": "tab\there\nline", "duration": -1, "rating": -0.0, "streamable": false,
     "big": 18446744073709551615, "small": -9223372036854775808, "tiny": 1e-310, "exp": 6.02e23,
     "control": "\u0001\u001f", "slash": "a/b", "astral": "\ud834\udd1e"}
  ],
  "count": 2
})";

const JKSerializeOptionFlags kOptionSets[] = {
    0,
    JKSerializeOptionPretty,
    JKSerializeOptionUnicodeEscapes,
    JKSerializeOptionSlashEscapes,
    JKSerializeOptionPretty | JKSerializeOptionUnicodeEscapes | JKSerializeOptionSlashEscapes,
};

std::string serialize(const JKValue& value, JKSerializeOptionFlags options) {
  JKError error;
  std::optional<std::string> text = JSONString(value, options, &error);
  EXPECT_TRUE(text) << error.message;
  return text.value_or("<failed>");
}

JKValue reparse(const std::string& text) {
  JKError error;
  std::optional<JKValue> value = objectFromJSONString(text, 0, &error);
  EXPECT_TRUE(value) << error.message << " at " << error.atIndex << " in " << text;
  if (!value) return JKValue();
  return *value;
}

// Serialize, parse again: an equal value. Serializing a parsed value gives
// back the text it was parsed from. (A value built by hand may have its
// dictionaries' tables sized differently from parsed ones, so its first text
// can order keys differently; from the first parse on, the text is fixed.)
void expectRoundTrip(const JKValue& value, JKSerializeOptionFlags options, bool valueWasParsed) {
  std::string text = serialize(value, options);
  JKValue reparsed = reparse(text);
  EXPECT_EQ(reparsed, value) << text;
  std::string again = serialize(reparsed, options);
  if (valueWasParsed) {
    EXPECT_EQ(again, text);
  }
  EXPECT_EQ(serialize(reparse(again), options), again);
}

TEST(JSONRoundTrip, DocumentWithEveryOptionSet) {
  JKError error;
  std::optional<JKValue> value = objectFromJSONString(kDocument, 0, &error);
  ASSERT_TRUE(value) << error.message;
  for (JKSerializeOptionFlags options : kOptionSets) {
    SCOPED_TRACE(options);
    expectRoundTrip(*value, options, true);
  }
}

// Random values of every kind, nested a few levels.
class RandomValues {
 public:
  explicit RandomValues(unsigned seed) : random_(seed) {}

  JKValue value(int depth) {
    std::size_t kind = pick(depth > 3 ? 6 : 8);
    if (kind == 0) return JKValue();
    if (kind == 1) return JKValue(pick(2) == 0);
    if (kind == 2) return JKValue(static_cast<std::int64_t>(random_()));
    if (kind == 3) return JKValue(static_cast<std::uint64_t>(random_()) | (1ull << 63));
    if (kind == 4) {
      double d = std::ldexp(static_cast<double>(random_() >> 11), static_cast<int>(pick(2000)) - 1100);
      return JKValue(pick(2) ? d : -d);
    }
    if (kind == 5) return JKValue(string());
    if (kind == 6) {
      std::vector<JKValue> elements;
      for (std::size_t i = pick(6); i > 0; --i) elements.push_back(value(depth + 1));
      return JKValue(JKArray::create(std::move(elements), pick(2) == 0));
    }
    auto d = JKDictionary::create(true);
    for (std::size_t i = pick(6); i > 0; --i) d->setObject(value(depth + 1), string());
    return JKValue(pick(2) ? d : d->copy());
  }

 private:
  std::size_t pick(std::size_t n) { return random_() % n; }

  std::string string() {
    static const char* const pieces[] = {"a",
                                         "Z",
                                         " ",
                                         "\"",
                                         "\\",
                                         "/",
                                         "\n",
                                         "\x01",
                                         "\x7f",
                                         "\xC3\xA9",
                                         "\xE2\x82\xAC",
                                         "\xF0\x9F\x98\x80",
                                         "\xEF\xBF\xBD",
                                         "key"};
    std::string s;
    for (std::size_t i = pick(8); i > 0; --i) s += pieces[pick(std::size(pieces))];
    return s;
  }

  std::mt19937_64 random_;
};

TEST(JSONRoundTrip, RandomValues) {
  RandomValues generator(2024);
  for (int i = 0; i < 300; ++i) {
    std::vector<JKValue> top = {generator.value(0), generator.value(0)};
    JKValue value(JKArray::create(std::move(top), false));
    for (JKSerializeOptionFlags options : kOptionSets) expectRoundTrip(value, options, false);
  }
}

TEST(JSONRoundTrip, SameCacheAcrossDocumentsKeepsValues) {
  JSONDecoder decoder;
  RandomValues generator(99);
  for (int i = 0; i < 200; ++i) {
    JKValue value(JKArray::create({generator.value(0)}, false));
    std::optional<std::string> text = JSONString(value);
    ASSERT_TRUE(text);
    std::optional<JKValue> parsed = decoder.objectWithData(*text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, value);
  }
}

// GTK switches the process to the user's locale; a decimal comma must not
// leak into numbers either way.
TEST(JSONRoundTrip, NumbersIgnoreTheProcessLocale) {
  char folder[] = "/tmp/jsonkit-locale-XXXXXX";
  ASSERT_TRUE(mkdtemp(folder));
  std::string command = std::string("localedef -i de_DE -f UTF-8 ") + folder + "/de >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    std::system((std::string("rm -rf ") + folder).c_str());
    GTEST_SKIP() << "localedef could not build a German locale here";
  }
  setenv("LOCPATH", folder, 1);
  ASSERT_TRUE(std::setlocale(LC_ALL, "de"));
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  EXPECT_STREQ(probe, "1,5");  // the locale really uses a decimal comma

  std::optional<JKValue> value = objectFromJSONString("[1.5, 2.25e-3, -0.5]");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->array()->objectAtIndex(0).doubleValue(), 1.5);
  EXPECT_EQ(value->array()->objectAtIndex(1).doubleValue(), 2.25e-3);
  EXPECT_EQ(JSONString(*value), "[1.5,0.0022499999999999998,-0.5]");
  JKError error;
  EXPECT_FALSE(objectFromJSONString("[1e400]", 0, &error));
  EXPECT_EQ(error.message, "The value '1e400' could not be represented as a 'double' due to overflow.");

  std::setlocale(LC_ALL, "C");
  std::system((std::string("rm -rf ") + folder).c_str());
}

}  // namespace
