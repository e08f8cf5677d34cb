// libFuzzer target: whatever parses must serialize with every option set,
// parse back to an equal value, and reach a fixed text. The first byte picks
// the parse options and the serialize options; the rest is the JSON text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "JSONDecoder.h"
#include "JSONKitDeserializing.h"
#include "JSONKitSerializing.h"

namespace {

JKValue parseOrDie(const std::string& text) {
  std::optional<JKValue> value = objectFromJSONString(text);
  if (!value) std::abort();
  return *value;
}

std::string serializeOrDie(const JKValue& value, JKSerializeOptionFlags options) {
  std::optional<std::string> text = JSONString(value, options);
  if (!text) std::abort();
  return *text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  JSONDecoder decoder(data[0] & JKParseOptionValidFlags);
  std::optional<JKValue> value = decoder.objectWithUTF8String(reinterpret_cast<const char*>(data + 1), size - 1);
  if (!value) return 0;
  const JKSerializeOptionFlags options = ((data[0] >> 4) & 3) | ((data[0] & 0x40) ? JKSerializeOptionSlashEscapes : 0);
  std::string first = serializeOrDie(*value, options);
  JKValue reparsed = parseOrDie(first);
  if (!(reparsed == *value)) std::abort();
  // Repeated keys may size the first tables larger; from the second text on it is fixed.
  std::string second = serializeOrDie(reparsed, options);
  std::string third = serializeOrDie(parseOrDie(second), options);
  if (second != third) std::abort();
  return 0;
}
