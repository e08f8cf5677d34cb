#pragma once
#include <cstddef>
#include <string>

// The first failure of a parse or of a serialization. Parse errors carry the
// byte index in the input and the 1-based line where the failure was found;
// serializer errors leave both at 0.
struct JKError {
  std::string domain = "JKErrorDomain";
  int code = -1;
  std::string message;
  std::size_t atIndex = 0;
  std::size_t lineNumber = 0;
};
