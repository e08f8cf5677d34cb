#pragma once
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "JKError.h"
#include "JKParseOptions.h"
#include "JKValue.h"

// Parses UTF-8 JSON text into JKValue graphs of JKArray, JKDictionary,
// strings, numbers, booleans and null.
//
// Strict JSON whose top level is an array or an object; the parse options
// relax the grammar (comments, Unicode line breaks, lenient Unicode, trailing
// text). Nesting deeper than kMaxDepth levels is refused with an error. A
// failed parse returns no value and hands the first error (message, byte
// index, line) to `error` when given; a parse never throws for bad input.
// Exceptions are kept for misuse by the caller: std::invalid_argument for bad
// options or a null input pointer, std::logic_error for a moved-from decoder.
//
// The decoder keeps a cache of the strings it produced (see JKTokenCache), so
// equal strings in this and later documents share one string object.
//
// Threads: a decoder serves one parse at a time; use one per thread.
// Decoders share no state.
class JSONDecoder {
 public:
  static constexpr std::size_t kMaxDepth = 512;

  // Throws std::invalid_argument "Invalid parse options." for options of 16 or more.
  explicit JSONDecoder(JKParseOptionFlags parseOptions = JKParseOptionStrict);
  ~JSONDecoder();
  JSONDecoder(JSONDecoder&&) noexcept;
  JSONDecoder& operator=(JSONDecoder&&) noexcept;

  JKParseOptionFlags parseOptions() const;

  // Empties the string cache.
  void clearCache();

  // Parses `length` bytes into immutable containers. Throws
  // std::invalid_argument "The string argument is NULL." for a null pointer
  // and std::logic_error "parseState is NULL." on a moved-from decoder.
  std::optional<JKValue> objectWithUTF8String(const char* string, std::size_t length, JKError* error = nullptr);
  // The same into mutable containers.
  std::optional<JKValue> mutableObjectWithUTF8String(const char* string, std::size_t length, JKError* error = nullptr);
  // The same for a byte buffer. A view with a null data pointer throws
  // std::invalid_argument "The jsonData argument is NULL.".
  std::optional<JKValue> objectWithData(std::string_view jsonData, JKError* error = nullptr);
  std::optional<JKValue> mutableObjectWithData(std::string_view jsonData, JKError* error = nullptr);

  // Older names of objectWithUTF8String and objectWithData.
  std::optional<JKValue> parseUTF8String(const char* string, std::size_t length, JKError* error = nullptr) {
    return objectWithUTF8String(string, length, error);
  }
  std::optional<JKValue> parseJSONData(std::string_view jsonData, JKError* error = nullptr) {
    return objectWithData(jsonData, error);
  }

 private:
  struct ParseState;
  std::optional<JKValue> parse(const char* string, std::size_t length, bool mutableContainers, JKError* error);

  std::unique_ptr<ParseState> parseState_;
};
