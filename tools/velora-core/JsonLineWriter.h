#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "JKValue.h"

// Writes one JSON object per line to a stream and flushes it, so that a reader
// sees every line as soon as it happens. Lines written from several threads
// (the driver's main thread answers commands, the core's worker thread sends
// events) never interleave: each write holds the writer's mutex.
class JsonLineWriter {
 public:
  explicit JsonLineWriter(FILE* out);

  // Writes `object` (a dictionary) as one line. Text that is not valid UTF-8
  // or a number that is not finite cannot be written as JSON: such a line is
  // replaced by an "error" line that keeps the object's "id" or "callback".
  void write(const JKValue& object);

 private:
  std::mutex mutex_;
  FILE* out_;
};

// Building blocks for the lines.
JKValue jsonObject();
JKValue jsonArray();
void jsonSet(JKValue& object, const std::string& key, JKValue value);
void jsonAppend(JKValue& array, JKValue value);
