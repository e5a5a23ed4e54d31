#include "BlrDebugStub.h"

#include <cstdarg>
#include <cstdio>

#include "BLR/BlrDebug.h"

std::vector<std::string>& blrDebugStubLines() {
  static std::vector<std::string> lines;
  return lines;
}

void blrDebug(const char*, const char* fmt, ...) {
  char line[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  blrDebugStubLines().push_back(line);
}
