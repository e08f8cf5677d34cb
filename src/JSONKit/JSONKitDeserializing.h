#pragma once
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "JKError.h"
#include "JKParseOptions.h"
#include "JKValue.h"

// One-shot parsing of a JSON text with a decoder of its own (so no string
// cache survives the call). Immutable containers, or mutable ones with the
// mutable forms. On failure: no value, and *error (when given) receives the
// first error. Options of 16 or more throw std::invalid_argument
// "Invalid parse options.". Any thread.
std::optional<JKValue> objectFromJSONString(std::string_view string, JKParseOptionFlags parseOptions = 0,
                                            JKError* error = nullptr);
std::optional<JKValue> mutableObjectFromJSONString(std::string_view string, JKParseOptionFlags parseOptions = 0,
                                                   JKError* error = nullptr);
std::optional<JKValue> objectFromJSONData(const std::vector<std::uint8_t>& data, JKParseOptionFlags parseOptions = 0,
                                          JKError* error = nullptr);
std::optional<JKValue> mutableObjectFromJSONData(const std::vector<std::uint8_t>& data,
                                                 JKParseOptionFlags parseOptions = 0, JKError* error = nullptr);
