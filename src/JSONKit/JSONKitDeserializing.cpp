#include "JSONKitDeserializing.h"

#include "JSONDecoder.h"

namespace {

std::optional<JKValue> parseOnce(const char* bytes, std::size_t length, bool mutableContainers,
                                 JKParseOptionFlags parseOptions, JKError* error) {
  static const char empty = 0;
  if (bytes == nullptr) bytes = &empty;  // an empty view or vector is an empty text, not a null one
  JSONDecoder decoder(parseOptions);
  return mutableContainers ? decoder.mutableObjectWithUTF8String(bytes, length, error)
                           : decoder.objectWithUTF8String(bytes, length, error);
}

const char* bytesOf(const std::vector<std::uint8_t>& data) {
  return reinterpret_cast<const char*>(data.data());
}

}  // namespace

std::optional<JKValue> objectFromJSONString(std::string_view string, JKParseOptionFlags parseOptions, JKError* error) {
  return parseOnce(string.data(), string.size(), false, parseOptions, error);
}

std::optional<JKValue> mutableObjectFromJSONString(std::string_view string, JKParseOptionFlags parseOptions,
                                                   JKError* error) {
  return parseOnce(string.data(), string.size(), true, parseOptions, error);
}

std::optional<JKValue> objectFromJSONData(const std::vector<std::uint8_t>& data, JKParseOptionFlags parseOptions,
                                          JKError* error) {
  return parseOnce(bytesOf(data), data.size(), false, parseOptions, error);
}

std::optional<JKValue> mutableObjectFromJSONData(const std::vector<std::uint8_t>& data, JKParseOptionFlags parseOptions,
                                                 JKError* error) {
  return parseOnce(bytesOf(data), data.size(), true, parseOptions, error);
}
