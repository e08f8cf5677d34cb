#include "ShellTrace.h"

#include <cstdio>

#include "VLLogLineLayout.h"

void shellTrace(const char* method, const std::string& message) {
  // One write per line, so that lines of several threads do not mix; page
  // texts (addresses) in it cut as the core log cuts them.
  std::string line = std::string(method) + " " + VLLogLineLayout::cutToBound(message) + "\n";
  fputs(line.c_str(), stderr);
}
