#include "ShellTrace.h"

#include <cstdio>

void shellTrace(const char* method, const std::string& message) {
  // One write per line, so that lines of several threads do not mix.
  std::string line = std::string(method) + " " + message + "\n";
  fputs(line.c_str(), stderr);
}
