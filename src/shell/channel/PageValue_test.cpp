#include "PageValue.h"

#include <gtest/gtest.h>
#include <gio/gio.h>
#include <jsc/jsc.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "PageValueCodec.h"

namespace {

// A JavaScriptCore context of its own, to compare with what the page's
// engine does.
class PageValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context_ = jsc_context_new();
    JSCValue* made = jsc_context_evaluate(context_, PageValueCodec::kHelpersSource, -1);
    helpers_ = PageValueCodec::helpersOf(made);
    g_object_unref(made);
  }
  void TearDown() override {
    helpers_.unref();
    g_object_unref(context_);
  }

  std::string javaScriptText(double number) {
    JSCValue* value = jsc_value_new_number(context_, number);
    char* text = jsc_value_to_string(value);
    std::string result = text;
    g_free(text);
    g_object_unref(value);
    return result;
  }

  double javaScriptNumber(const std::string& text) {
    JSCValue* value = jsc_value_new_string(context_, text.c_str());
    double number = jsc_value_to_double(value);
    g_object_unref(value);
    return number;
  }

  // The page value a script evaluates to, as the extension sends it.
  PageValue fromScript(const char* script) {
    JSCValue* value = jsc_context_evaluate(context_, script, -1);
    PageValueCodec codec(context_, helpers_);
    GVariant* wire = g_variant_ref_sink(codec.encode(value));
    PageValue result = PageValue::fromVariant(wire);
    g_variant_unref(wire);
    g_object_unref(value);
    return result;
  }

  std::string javaScriptTextOf(const char* script) {
    JSCValue* value = jsc_context_evaluate(context_, script, -1);
    char* text = jsc_value_to_string(value);
    std::string result = text != nullptr ? text : "";
    g_free(text);
    g_object_unref(value);
    return result;
  }

  // Sets the page value, as the page would receive it, as a global of the context.
  void setInPage(const char* name, const PageValue& value) {
    GVariant* wire = g_variant_ref_sink(value.toVariant());
    PageValueCodec codec(context_, helpers_);
    JSCValue* decoded = codec.decode(wire);
    g_variant_unref(wire);
    jsc_context_set_value(context_, name, decoded);
    g_object_unref(decoded);
  }

  // JSON.stringify of the page value as the page would receive it.
  std::string inPage(const PageValue& value) {
    setInPage("decoded", value);
    JSCValue* json =
        jsc_context_evaluate(context_, "decoded === undefined ? 'undefined' : JSON.stringify(decoded)", -1);
    char* text = jsc_value_to_string(json);
    std::string result = text;
    g_free(text);
    g_object_unref(json);
    return result;
  }

  JSCContext* context_ = nullptr;
  PageValueCodec::Helpers helpers_;
};

TEST_F(PageValueTest, NumbersReadAsThePageWritesThem) {
  const double samples[] = {0,
                            -0.0,
                            1,
                            -1,
                            1.5,
                            0.1 + 0.2,
                            100,
                            1e21,
                            1e20,
                            123456789012345680000.0,
                            1e-6,
                            1e-7,
                            5e-324,
                            1.7976931348623157e308,
                            -1.5e300,
                            9007199254740993.0,
                            2.5e-5,
                            0.000123,
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN(),
                            4294967296.0 + 5,
                            1234.5678};
  for (double sample : samples) EXPECT_EQ(PageValue::numberText(sample), javaScriptText(sample)) << sample;

  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = random();
    double sample;
    memcpy(&sample, &bits, sizeof sample);
    if (i % 2 == 0) sample = static_cast<double>(static_cast<int64_t>(bits) >> (bits % 60));
    ASSERT_EQ(PageValue::numberText(sample), javaScriptText(sample)) << std::hexfloat << sample;
  }
}

TEST_F(PageValueTest, TextsReadAsNumbersAsThePageReadsThem) {
  const char* samples[] = {"42",   "  42 ", "\t-7\n", "",         "   ",       "abc",       "0x1F",     "0X1f",
                           "0o17", "0b101", "0x",     "1e3",      "1E-3",      "1e",        ".5",       "5.",
                           "+.5",  "-.5e1", ".",      "Infinity", "-Infinity", "+Infinity", "infinity", "inf",
                           "nan",  "NaN",   "1_000",  "12abc",    "0x1p3",     "-0x10",     "00012",    "1,5"};
  for (const char* sample : samples) {
    double expected = javaScriptNumber(sample);
    double actual = PageValue::string(sample).toNumber();
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(actual)) << '"' << sample << '"';
    } else {
      EXPECT_EQ(actual, expected) << '"' << sample << '"';
    }
  }
}

TEST_F(PageValueTest, ConversionsForDeclaredParameterTypes) {
  EXPECT_EQ(PageValue::number(12.9).toInt(), 12);
  EXPECT_EQ(PageValue::number(-12.9).toInt(), -12);
  EXPECT_EQ(PageValue::number(1e12).toInt(), std::numeric_limits<int>::max());
  EXPECT_EQ(PageValue::number(-1e12).toInt(), std::numeric_limits<int>::min());
  EXPECT_EQ(PageValue::number(std::nan("")).toInt(), 0);
  EXPECT_EQ(PageValue::string("17").toInt(), 17);
  EXPECT_EQ(PageValue().toInt(), 0);
  EXPECT_EQ(PageValue::number(1e12).toInt64(), 1000000000000);
  EXPECT_EQ(PageValue::number(1e300).toInt64(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(PageValue::number(-1e300).toInt64(), std::numeric_limits<int64_t>::min());
  EXPECT_TRUE(PageValue::number(0.5).toFlag());
  EXPECT_TRUE(PageValue::boolean(true).toFlag());
  EXPECT_FALSE(PageValue::number(0).toFlag());
  EXPECT_FALSE(PageValue::number(std::nan("")).toFlag());
  EXPECT_FALSE(PageValue::string("yes").toFlag());
  EXPECT_FALSE(PageValue::null().toFlag());
}

TEST_F(PageValueTest, TextsAsStringGivesThemWithNullAndUndefinedEmpty) {
  EXPECT_EQ(PageValue().text(), "");
  EXPECT_EQ(PageValue::null().text(), "");
  EXPECT_EQ(PageValue::boolean(false).text(), "false");
  EXPECT_EQ(PageValue::number(12345).text(), "12345");
  EXPECT_EQ(PageValue::string("héllo").text(), "héllo");
  EXPECT_EQ(fromScript("[1, 'a', null, [2, 3]]").text(), "1,a,,2,3");
  EXPECT_EQ(fromScript("({a: 1})").text(), "[object Object]");
}

TEST_F(PageValueTest, PageValuesCrossTheWireWhole) {
  PageValue value = fromScript(
      "({ n: 1.5, s: 'x\\u00e9\\u{1F600}', t: true, f: false, nil: null, u: undefined,"
      "   a: [1, [2, [3]], {k: 'v'}], o: {z: 1, a: 2, m: 3}, fn: function () {} })");
  ASSERT_TRUE(value.isObject());
  EXPECT_EQ(value.keys(), (std::vector<std::string>{"n", "s", "t", "f", "nil", "u", "a", "o", "fn"}));
  EXPECT_EQ(value.get("n").numberValue(), 1.5);
  EXPECT_EQ(value.get("s").stringValue(), "x\u00e9\U0001F600");
  EXPECT_TRUE(value.get("t").booleanValue());
  EXPECT_TRUE(value.get("nil").isNull());
  EXPECT_TRUE(value.get("u").isUndefined());
  EXPECT_TRUE(value.get("fn").isUndefined());  // functions travel only as call arguments
  EXPECT_EQ(value.get("a").at(1).at(1).at(0).numberValue(), 3);
  EXPECT_EQ(value.get("o").keys(), (std::vector<std::string>{"z", "a", "m"}));

  // And back into the page, keys in order, objects without prototype.
  EXPECT_EQ(inPage(value.get("o")), "{\"z\":1,\"a\":2,\"m\":3}");
  EXPECT_EQ(inPage(value.get("a")), "[1,[2,[3]],{\"k\":\"v\"}]");
  EXPECT_EQ(inPage(PageValue()), "undefined");
  EXPECT_EQ(inPage(PageValue::null()), "null");
  PageValue object = PageValue::object();
  object.set("b", PageValue::number(2)).set("a", PageValue::string("1"));
  GVariant* wire = g_variant_ref_sink(object.toVariant());
  PageValueCodec codec(context_, helpers_);
  JSCValue* decoded = codec.decode(wire);
  g_variant_unref(wire);
  jsc_context_set_value(context_, "decoded", decoded);
  g_object_unref(decoded);
  JSCValue* check = jsc_context_evaluate(
      context_,
      "Object.getPrototypeOf(decoded) === null && Object.keys(decoded).join() === 'b,a' && !('toString' in decoded)",
      -1);
  EXPECT_TRUE(jsc_value_to_boolean(check));
  g_object_unref(check);
}

TEST_F(PageValueTest, PageStringsTravelWholeAndDistinct) {
  // Strings that plain D-Bus strings cannot carry: as the page wrote them,
  // there and back, and each distinct from its neighbours.
  const char* scripts[] = {"'a'",
                           "'a\\0b'",
                           "'a\\0'",
                           "'a\\uD800b'",
                           "'a\\uDBFFb'",
                           "'a\\uDC00'",
                           "'\\uD83D\\uDE00\\u0000\"\\\\'",
                           "'\\uDE00\\uD83D'"};
  std::set<std::string> stored;
  for (const char* script : scripts) {
    SCOPED_TRACE(script);
    PageValue value = fromScript(script);
    ASSERT_TRUE(value.isString());
    EXPECT_TRUE(stored.insert(value.stringValue()).second);
    g_object_unref(jsc_context_evaluate(context_, (std::string("var expected = ") + script).c_str(), -1));
    setInPage("back", value);
    EXPECT_EQ(javaScriptTextOf("back === expected"), "true");
  }
  EXPECT_EQ(fromScript("'a\\0b'").stringValue(), std::string("a\0b", 3));
  // The pair is plain UTF-8; a lone surrogate keeps its code point's bytes.
  EXPECT_EQ(fromScript("'\\uD83D\\uDE00'").stringValue(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(fromScript("'\\uD800'").stringValue(), "\xED\xA0\x80");
}

TEST_F(PageValueTest, StringsThatAreNoValidTextArriveMended) {
  // Invalid bytes from the application.
  PageValue invalid =
      PageValue::string(std::string("a\xff\xfe"
                                    "b",
                                    4));
  GVariant* wire = g_variant_ref_sink(invalid.toVariant());
  PageValue back = PageValue::fromVariant(wire);
  g_variant_unref(wire);
  EXPECT_TRUE(g_utf8_validate(back.stringValue().c_str(), -1, nullptr));
  EXPECT_EQ(back.stringValue().front(), 'a');
  EXPECT_EQ(back.stringValue().back(), 'b');
}

TEST_F(PageValueTest, CyclicAndHugeValuesAreCutNotFollowed) {
  PageValue cyclic = fromScript("var o = {}; o.self = o; o.other = o; o");
  int depth = 0;
  const PageValue* at = &cyclic;
  while (at->isObject()) {
    at = &at->get("self");
    ++depth;
  }
  EXPECT_GT(depth, 10);
  EXPECT_LE(depth, PageValueCodec::kMaxDepth + 1);
  PageValue sparse = fromScript("var a = []; a.length = 4294967295; a");
  EXPECT_TRUE(sparse.isArray());
  EXPECT_LE(sparse.size(), static_cast<size_t>(PageValueCodec::kMaxNodes));
  // Host and built-in objects are no data: they travel without keys.
  for (const char* host : {"Math", "new Date(0)", "new Map([[1, 2]])", "/re/g", "JSON"}) {
    PageValue value = fromScript(host);
    EXPECT_TRUE(value.isObject()) << host;
    EXPECT_TRUE(value.keys().empty()) << host;
  }
  // Instances of the page's own classes are data.
  EXPECT_EQ(
      fromScript("class File { constructor() { this.entity_id = 7; } get hidden() { return 1; } }; new File()").keys(),
      std::vector<std::string>{"entity_id"});
  PageValue typed = fromScript("new Uint8Array([1, 2, 3])");
  EXPECT_EQ(inPage(typed), "[1,2,3]");
}

// Whether a call's arguments can cross a D-Bus connection: a message the
// peer cannot decode would close the connection.
bool crossesDBus(GVariant* arguments) {
  GDBusMessage* message = g_dbus_message_new_method_call(nullptr, "/a", "a.b", "Call");
  g_dbus_message_set_body(message, g_variant_new("(tss@av)", static_cast<guint64>(1), "o", "m", arguments));
  gsize size = 0;
  guchar* blob = g_dbus_message_to_blob(message, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
  g_object_unref(message);
  if (blob == nullptr) return false;
  GError* error = nullptr;
  GDBusMessage* back = g_dbus_message_new_from_blob(blob, size, G_DBUS_CAPABILITY_FLAGS_NONE, &error);
  g_free(blob);
  if (back == nullptr) {
    ADD_FAILURE() << error->message;
    g_error_free(error);
    return false;
  }
  g_object_unref(back);
  return true;
}

TEST_F(PageValueTest, EveryCallFitsAD_BusMessage) {
  const char* scripts[] = {
      "[undefined, null, true, 1.5, 'x', [1, [2]], {a: {b: null}}]",
      "var deep = []; for (var i = 0; i < 200; i++) deep = [deep]; [deep]",
      "var deepObject = {}; for (var i = 0; i < 200; i++) deepObject = {k: deepObject}; [deepObject]",
      "var mixed = 1; for (var i = 0; i < 200; i++) mixed = i % 2 ? [mixed] : {k: mixed}; [mixed, mixed]",
  };
  for (const char* script : scripts) {
    JSCValue* value = jsc_context_evaluate(context_, script, -1);
    GPtrArray* arguments = g_ptr_array_new();
    JSCValue* length = jsc_value_object_get_property(value, "length");
    int count = jsc_value_to_int32(length);
    g_object_unref(length);
    std::vector<JSCValue*> held;
    for (int i = 0; i < count; ++i) {
      held.push_back(jsc_value_object_get_property_at_index(value, i));
      g_ptr_array_add(arguments, held.back());
    }
    PageValueCodec codec(context_, helpers_);
    GVariant* encoded = g_variant_ref_sink(codec.encodeArguments(arguments, "", nullptr));
    EXPECT_TRUE(crossesDBus(encoded)) << script;
    // And what comes back from the application crosses too.
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("av"));
    for (gsize i = 0; i < g_variant_n_children(encoded); ++i) {
      GVariant* child = g_variant_get_child_value(encoded, i);
      g_variant_builder_add_value(&builder, PageValue::fromVariant(child).toVariant());
      g_variant_unref(child);
    }
    EXPECT_TRUE(crossesDBus(g_variant_builder_end(&builder))) << script;
    g_variant_unref(encoded);
    for (JSCValue* v : held) g_object_unref(v);
    g_ptr_array_unref(arguments);
    g_object_unref(value);
  }
}

TEST_F(PageValueTest, UnknownWireTypesAndDeepNestingBecomeUndefined) {
  GVariant* strange = g_variant_ref_sink(g_variant_new_variant(g_variant_new("(ii)", 1, 2)));
  EXPECT_TRUE(PageValue::fromVariant(strange).isUndefined());
  g_variant_unref(strange);
  GVariant* deep = g_variant_new_string("bottom");
  for (int i = 0; i < 100; ++i) deep = g_variant_new_variant(deep);
  g_variant_ref_sink(deep);
  EXPECT_TRUE(PageValue::fromVariant(deep).isUndefined());
  g_variant_unref(deep);
}

}  // namespace
