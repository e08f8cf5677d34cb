#include "TestEnvironmentVariable.h"

#include <cstdlib>

TestEnvironmentVariable::TestEnvironmentVariable(const char* name, const char* value) : name_(name) {
  const char* old = getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  set(value);
}

TestEnvironmentVariable::~TestEnvironmentVariable() {
  set(had_ ? old_.c_str() : nullptr);
}

void TestEnvironmentVariable::set(const char* value) {
  if (value)
    setenv(name_.c_str(), value, 1);
  else
    unsetenv(name_.c_str());
}
