#pragma once

// Building the driver's call arguments and reading its answer lines, for the
// end-to-end tests. Header-only.

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JKValue.h"

namespace driverjson {

inline JKValue args(std::initializer_list<JKValue> values) {
  return JKValue(JKArray::create(std::vector<JKValue>(values), false));
}

inline JKValue strings(std::initializer_list<const char*> values) {
  std::vector<JKValue> list;
  for (const char* value : values) list.push_back(JKValue(value));
  return JKValue(JKArray::create(list, false));
}

inline const JKValue* field(const JKValue& object, const char* key) {
  return object.isDictionary() ? object.dictionary()->objectForKey(key) : nullptr;
}

// The field as an integer, -999 when it is missing.
inline int64_t number(const JKValue& object, const char* key) {
  const JKValue* value = field(object, key);
  return value ? value->int64Value() : -999;
}

}  // namespace driverjson
