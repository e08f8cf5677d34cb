#include "JsonLineWriter.h"

#include <vector>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JSONKitSerializing.h"

JsonLineWriter::JsonLineWriter(FILE* out) : out_(out) {}

void JsonLineWriter::write(const JKValue& object) {
  JKError error;
  std::optional<std::string> text = JSONString(object, 0, &error);
  if (!text) {
    // The reader still learns which call or callback the line answered.
    JKValue failure = jsonObject();
    for (const char* key : {"id", "callback"}) {
      const JKValue* value = object.isDictionary() ? object.dictionary()->objectForKey(key) : nullptr;
      if (value && value->isNumber()) jsonSet(failure, key, *value);
    }
    jsonSet(failure, "error", "unable to encode a line: " + error.message);
    text = JSONString(failure);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::fwrite(text->data(), 1, text->size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

JKValue jsonObject() {
  return JKValue(JKDictionary::create(true));
}

JKValue jsonArray() {
  return JKValue(JKArray::create(std::vector<JKValue>(), true));
}

void jsonSet(JKValue& object, const std::string& key, JKValue value) {
  object.dictionary()->setObject(std::move(value), std::string_view(key));
}

void jsonAppend(JKValue& array, JKValue value) {
  array.array()->addObject(std::move(value));
}
