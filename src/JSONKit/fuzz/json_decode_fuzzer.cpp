// libFuzzer target: the decoder must never crash, leak or hang, and must give
// exactly one of a value or an error. The first byte picks the parse options
// and the mutable flag; the rest is the JSON text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "JSONDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  JSONDecoder decoder(data[0] & JKParseOptionValidFlags);
  bool mutableContainers = (data[0] & 0x10) != 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  for (int pass = 0; pass < 2; ++pass) {  // the second pass runs with a warm string cache
    JKError error;
    error.message.clear();
    std::optional<JKValue> value = mutableContainers ? decoder.mutableObjectWithUTF8String(text, size - 1, &error)
                                                     : decoder.objectWithUTF8String(text, size - 1, &error);
    bool hasError = !error.message.empty();
    if (value.has_value() == hasError) std::abort();
    if (value && !value->isArray() && !value->isDictionary()) std::abort();
    if (hasError && (error.atIndex > size - 1 || error.lineNumber == 0)) std::abort();
  }
  return 0;
}
