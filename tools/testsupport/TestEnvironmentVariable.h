#pragma once

#include <string>

// Sets (or, with a null value, clears) an environment variable for the life
// of the object, then gives it back its old value. For tests only; not
// thread-safe, like setenv itself.
class TestEnvironmentVariable {
 public:
  TestEnvironmentVariable(const char* name, const char* value);
  ~TestEnvironmentVariable();
  TestEnvironmentVariable(const TestEnvironmentVariable&) = delete;
  TestEnvironmentVariable& operator=(const TestEnvironmentVariable&) = delete;

  // Sets a new value (null clears it); the old value still comes back at the end.
  void set(const char* value);

 private:
  std::string name_;
  bool had_;
  std::string old_;
};
