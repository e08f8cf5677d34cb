#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "JKError.h"
#include "JKSerializer.h"
#include "JKValue.h"

// JSON text of an array or a dictionary (anything else fails with
// "Unable to serialize object class <kind>, expected a NSArray or NSDictionary.").
// No value on failure, with the first error in *error when given. Any thread.
std::optional<std::string> JSONString(const JKValue& collection, JKSerializeOptionFlags options = 0,
                                      JKError* error = nullptr);
std::optional<std::vector<std::uint8_t>> JSONData(const JKValue& collection, JKSerializeOptionFlags options = 0,
                                                  JKError* error = nullptr);

// JSON text of one string, with or without its quotes.
std::optional<std::string> JSONString(const std::string& string, JKSerializeOptionFlags options = 0,
                                      bool includeQuotes = true, JKError* error = nullptr);
std::optional<std::vector<std::uint8_t>> JSONData(const std::string& string, JKSerializeOptionFlags options = 0,
                                                  bool includeQuotes = true, JKError* error = nullptr);
