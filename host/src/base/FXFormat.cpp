#include "host/base/FXFormat.h"

#include <cstdio>

std::string FXFormatV(const char* fmt, va_list args) {
  if (fmt == nullptr) return std::string();
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string out(static_cast<size_t>(n), '\0');
  va_copy(copy, args);
  std::vsnprintf(&out[0], out.size() + 1, fmt, copy);
  va_end(copy);
  return out;
}

std::string FXFormat(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FXFormatV(fmt, args);
  va_end(args);
  return text;
}
