#include "PageValueCodec.h"

#include "PageChannelProtocol.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

GVariant* undefinedVariant() {
  return g_variant_new_byte(PageChannelProtocol::kUndefinedByte);
}
GVariant* nullVariant() {
  return g_variant_new_byte(PageChannelProtocol::kNullByte);
}

}  // namespace

PageValueCodec::Helpers PageValueCodec::helpersOf(JSCValue* made) {
  Helpers helpers;
  if (made == nullptr || !jsc_value_is_object(made)) return helpers;
  helpers.objectFactory = jsc_value_object_get_property(made, "objectFactory");
  helpers.ownKeys = jsc_value_object_get_property(made, "ownKeys");
  helpers.isPlain = jsc_value_object_get_property(made, "isPlain");
  helpers.textLiteral = jsc_value_object_get_property(made, "textLiteral");
  helpers.parseLiteral = jsc_value_object_get_property(made, "parseLiteral");
  return helpers;
}

void PageValueCodec::Helpers::ref() const {
  for (JSCValue* helper : {objectFactory, ownKeys, isPlain, textLiteral, parseLiteral}) {
    if (helper != nullptr) g_object_ref(helper);
  }
}

void PageValueCodec::Helpers::unref() const {
  for (JSCValue* helper : {objectFactory, ownKeys, isPlain, textLiteral, parseLiteral}) {
    if (helper != nullptr) g_object_unref(helper);
  }
}

PageValueCodec::PageValueCodec(JSCContext* context, const Helpers& helpers) : context_(context), helpers_(helpers) {}

char* PageValueCodec::textOf(JSCContext* context, JSCValue* value) {
  if (value == nullptr || jsc_value_is_undefined(value) || jsc_value_is_null(value)) return g_strdup("");
  char* text = jsc_value_to_string(value);
  if (jsc_context_get_exception(context) != nullptr) jsc_context_clear_exception(context);
  if (text == nullptr) return g_strdup("");
  gchar* valid = g_utf8_make_valid(text, -1);
  g_free(text);
  return valid;
}

void PageValueCodec::resetBudget() {
  nodesLeft_ = kMaxNodes;
  bytesLeft_ = kMaxBytes;
  overBudget_ = false;
}

bool PageValueCodec::spend(size_t bytes) {
  if (bytes > bytesLeft_) {
    bytesLeft_ = 0;
    overBudget_ = true;
    return false;
  }
  bytesLeft_ -= bytes;
  return true;
}

GVariant* PageValueCodec::encodeText(const char* text) {
  // Counted as it travels: made valid first (which may lengthen it), with its
  // length and terminating nul.
  gchar* valid = g_utf8_make_valid(text != nullptr ? text : "", -1);
  GVariant* v = spend(strlen(valid) + 5) ? g_variant_new_string(valid) : undefinedVariant();
  g_free(valid);
  return v;
}

// A page string goes whole: as a plain string when it can, else as its literal.
GVariant* PageValueCodec::encodeString(JSCValue* value) {
  if (helpers_.textLiteral != nullptr) {
    JSCValue* literal = jsc_value_function_call(helpers_.textLiteral, JSC_TYPE_VALUE, value, G_TYPE_NONE);
    if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
    if (literal != nullptr && jsc_value_is_string(literal)) {
      char* text = jsc_value_to_string(literal);
      g_object_unref(literal);
      GVariant* v = text != nullptr && spend(strlen(text) + 5) ? g_variant_new("(s)", text) : undefinedVariant();
      g_free(text);
      return v;
    }
    if (literal != nullptr) g_object_unref(literal);
  }
  char* text = jsc_value_to_string(value);
  GVariant* v = encodeText(text);
  g_free(text);
  return v;
}

GVariant* PageValueCodec::encodeArguments(GPtrArray* arguments, const char* kinds, const CallbackKeeper& keeper) {
  resetBudget();
  size_t declared = kinds != nullptr ? strlen(kinds) : 0;
  size_t given = arguments != nullptr ? arguments->len : 0;
  size_t count = given > declared ? given : declared;
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("av"));
  for (size_t i = 0; i < count; ++i) {
    JSCValue* argument = i < given ? static_cast<JSCValue*>(g_ptr_array_index(arguments, i)) : nullptr;
    char kind = i < declared ? kinds[i] : 'v';
    GVariant* bare = nullptr;
    if (kind == 's' && argument != nullptr && jsc_value_is_string(argument)) {
      bare = encodeString(argument);
    } else if (kind == 's') {
      char* text = textOf(context_, argument);
      bare = encodeText(text);
      g_free(text);
    } else if (kind == 'n') {
      spend(kValueBytes);
      double number = argument != nullptr ? jsc_value_to_double(argument) : NAN;
      if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
      bare = g_variant_new_double(number);
    } else if (kind == 'f') {
      spend(kValueBytes);
      if (argument != nullptr && jsc_value_is_function(argument) && keeper) {
        bare = g_variant_new("(t)", static_cast<guint64>(keeper(argument)));
      } else {
        bare = undefinedVariant();
      }
    } else {
      bare = argument != nullptr ? encodeBare(argument, 0) : undefinedVariant();
    }
    g_variant_builder_add_value(&builder, g_variant_new_variant(bare));
  }
  if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
  return g_variant_builder_end(&builder);
}

GVariant* PageValueCodec::encode(JSCValue* value) {
  resetBudget();
  GVariant* bare = encodeBare(value, 0);
  if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
  return g_variant_new_variant(bare);
}

GVariant* PageValueCodec::encodeBare(JSCValue* value, int depth) {
  if (value == nullptr || depth > kMaxDepth || nodesLeft_ <= 0 || !spend(kValueBytes)) return undefinedVariant();
  --nodesLeft_;
  if (jsc_value_is_undefined(value)) return undefinedVariant();
  if (jsc_value_is_null(value)) return nullVariant();
  if (jsc_value_is_boolean(value)) return g_variant_new_boolean(jsc_value_to_boolean(value));
  if (jsc_value_is_number(value)) return g_variant_new_double(jsc_value_to_double(value));
  if (jsc_value_is_string(value)) return encodeString(value);
  // Functions only travel as callbacks, at the top level of a call.
  if (jsc_value_is_function(value)) return undefinedVariant();
  if (jsc_value_is_array(value) || jsc_value_is_typed_array(value)) return encodeArray(value, depth);
  if (jsc_value_is_array_buffer(value)) return undefinedVariant();
  if (jsc_value_is_object(value)) return encodeObject(value, depth);
  return undefinedVariant();  // symbols and anything newer
}

GVariant* PageValueCodec::encodeArray(JSCValue* value, int depth) {
  JSCValue* lengthValue = jsc_value_object_get_property(value, "length");
  double length = lengthValue != nullptr ? jsc_value_to_double(lengthValue) : 0;
  if (lengthValue != nullptr) g_object_unref(lengthValue);
  if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
  if (!(length > 0)) length = 0;
  if (length > nodesLeft_) length = nodesLeft_;  // the rest could not travel anyway
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("av"));
  unsigned count = static_cast<unsigned>(length);
  for (unsigned i = 0; i < count; ++i) {
    JSCValue* element = jsc_value_object_get_property_at_index(value, i);
    if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
    g_variant_builder_add_value(&builder, g_variant_new_variant(encodeBare(element, depth + 1)));
    if (element != nullptr) g_object_unref(element);
  }
  return g_variant_builder_end(&builder);
}

GVariant* PageValueCodec::encodeObject(JSCValue* value, int depth) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(sv)"));
  if (helpers_.isPlain != nullptr) {
    JSCValue* plain = jsc_value_function_call(helpers_.isPlain, JSC_TYPE_VALUE, value, G_TYPE_NONE);
    bool isPlain = plain != nullptr && jsc_value_to_boolean(plain);
    if (plain != nullptr) g_object_unref(plain);
    if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
    if (!isPlain) return g_variant_builder_end(&builder);
  }
  std::vector<std::string> names;
  if (helpers_.ownKeys != nullptr) {
    JSCValue* keys = jsc_value_function_call(helpers_.ownKeys, JSC_TYPE_VALUE, value, G_TYPE_NONE);
    if (keys != nullptr && jsc_value_is_array(keys)) {
      JSCValue* lengthValue = jsc_value_object_get_property(keys, "length");
      unsigned length = static_cast<unsigned>(jsc_value_to_double(lengthValue));
      g_object_unref(lengthValue);
      for (unsigned i = 0; i < length && static_cast<int>(i) < nodesLeft_; ++i) {
        JSCValue* key = jsc_value_object_get_property_at_index(keys, i);
        char* text = jsc_value_to_string(key);
        names.push_back(text != nullptr ? text : "");
        g_free(text);
        g_object_unref(key);
      }
    }
    if (keys != nullptr) g_object_unref(keys);
  } else {
    gchar** all = jsc_value_object_enumerate_properties(value);
    for (gchar** name = all; name != nullptr && *name != nullptr; ++name) names.push_back(*name);
    g_strfreev(all);
  }
  if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
  for (const std::string& name : names) {
    if (nodesLeft_ <= 0) break;
    gchar* key = g_utf8_make_valid(name.c_str(), -1);
    if (!spend(strlen(key) + 5 + kValueBytes)) {
      g_free(key);
      break;
    }
    JSCValue* member = jsc_value_object_get_property(value, name.c_str());
    if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
    g_variant_builder_add(&builder, "(s@v)", key, g_variant_new_variant(encodeBare(member, depth + 1)));
    g_free(key);
    if (member != nullptr) g_object_unref(member);
  }
  return g_variant_builder_end(&builder);
}

JSCValue* PageValueCodec::decode(GVariant* variant) {
  JSCValue* value = decode(variant, 0);
  if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
  return value;
}

JSCValue* PageValueCodec::newObject() {
  if (helpers_.objectFactory != nullptr) {
    JSCValue* object = jsc_value_function_call(helpers_.objectFactory, G_TYPE_NONE);
    if (object != nullptr && jsc_value_is_object(object)) return object;
    if (object != nullptr) g_object_unref(object);
  }
  return jsc_value_new_object(context_, nullptr, nullptr);
}

JSCValue* PageValueCodec::decodeLiteral(GVariant* variant) {
  const gchar* literal = nullptr;
  g_variant_get(variant, "(&s)", &literal);
  if (helpers_.parseLiteral != nullptr) {
    JSCValue* text = jsc_value_function_call(helpers_.parseLiteral, G_TYPE_STRING, literal, G_TYPE_NONE);
    if (jsc_context_get_exception(context_) != nullptr) jsc_context_clear_exception(context_);
    if (text != nullptr && jsc_value_is_string(text)) return text;
    if (text != nullptr) g_object_unref(text);
  }
  return jsc_value_new_undefined(context_);
}

JSCValue* PageValueCodec::decode(GVariant* variant, int depth) {
  if (variant == nullptr || depth > kMaxDepth) return jsc_value_new_undefined(context_);
  if (g_variant_is_of_type(variant, G_VARIANT_TYPE_VARIANT)) {
    GVariant* inner = g_variant_get_variant(variant);
    JSCValue* value = decode(inner, depth + 1);
    g_variant_unref(inner);
    return value;
  }
  const GVariantType* type = g_variant_get_type(variant);
  if (g_variant_type_equal(type, G_VARIANT_TYPE_BOOLEAN))
    return jsc_value_new_boolean(context_, g_variant_get_boolean(variant));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_DOUBLE))
    return jsc_value_new_number(context_, g_variant_get_double(variant));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_INT32))
    return jsc_value_new_number(context_, g_variant_get_int32(variant));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_UINT32))
    return jsc_value_new_number(context_, g_variant_get_uint32(variant));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_INT64))
    return jsc_value_new_number(context_, static_cast<double>(g_variant_get_int64(variant)));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_UINT64))
    return jsc_value_new_number(context_, static_cast<double>(g_variant_get_uint64(variant)));
  if (g_variant_type_equal(type, G_VARIANT_TYPE_STRING))
    return jsc_value_new_string(context_, g_variant_get_string(variant, nullptr));
  if (g_variant_type_equal(type, G_VARIANT_TYPE("(s)"))) return decodeLiteral(variant);
  if (g_variant_type_equal(type, G_VARIANT_TYPE_BYTE)) {
    return g_variant_get_byte(variant) == PageChannelProtocol::kNullByte ? jsc_value_new_null(context_)
                                                                         : jsc_value_new_undefined(context_);
  }
  if (g_variant_type_equal(type, G_VARIANT_TYPE("av"))) {
    gsize count = g_variant_n_children(variant);
    GPtrArray* elements = g_ptr_array_new_full(count, g_object_unref);
    for (gsize i = 0; i < count; ++i) {
      GVariant* child = g_variant_get_child_value(variant, i);
      g_ptr_array_add(elements, decode(child, depth + 1));
      g_variant_unref(child);
    }
    JSCValue* array = jsc_value_new_array_from_garray(context_, elements);
    g_ptr_array_unref(elements);
    return array;
  }
  if (g_variant_type_equal(type, G_VARIANT_TYPE("a(sv)"))) {
    JSCValue* object = newObject();
    gsize count = g_variant_n_children(variant);
    for (gsize i = 0; i < count; ++i) {
      const gchar* key = nullptr;
      GVariant* child = nullptr;
      g_variant_get_child(variant, i, "(&sv)", &key, &child);
      JSCValue* member = decode(child, depth + 1);
      jsc_value_object_set_property(object, key, member);
      g_object_unref(member);
      g_variant_unref(child);
    }
    return object;
  }
  return jsc_value_new_undefined(context_);
}
