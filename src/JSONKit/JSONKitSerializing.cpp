#include "JSONKitSerializing.h"

namespace {

std::optional<std::vector<std::uint8_t>> asData(std::optional<std::string> text) {
  if (!text) return std::nullopt;
  return std::vector<std::uint8_t>(text->begin(), text->end());
}

JKEncodeOptionType stringEncodeOption(JKEncodeOptionType resultType, bool includeQuotes) {
  return resultType | JKEncodeOptionStringObj | (includeQuotes ? 0 : JKEncodeOptionStringObjTrimQuotes);
}

}  // namespace

std::optional<std::string> JSONString(const JKValue& collection, JKSerializeOptionFlags options, JKError* error) {
  return JKSerializer::serializeObject(collection, options, JKEncodeOptionCollectionObj | JKEncodeOptionResultString,
                                       error);
}

std::optional<std::vector<std::uint8_t>> JSONData(const JKValue& collection, JKSerializeOptionFlags options,
                                                  JKError* error) {
  return asData(JKSerializer::serializeObject(collection, options,
                                              JKEncodeOptionCollectionObj | JKEncodeOptionResultData, error));
}

std::optional<std::string> JSONString(const std::string& string, JKSerializeOptionFlags options, bool includeQuotes,
                                      JKError* error) {
  return JKSerializer::serializeObject(JKValue(string), options,
                                       stringEncodeOption(JKEncodeOptionResultString, includeQuotes), error);
}

std::optional<std::vector<std::uint8_t>> JSONData(const std::string& string, JKSerializeOptionFlags options,
                                                  bool includeQuotes, JKError* error) {
  return asData(JKSerializer::serializeObject(JKValue(string), options,
                                              stringEncodeOption(JKEncodeOptionResultData, includeQuotes), error));
}
