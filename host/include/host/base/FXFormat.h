// printf-style formatting into a std::string.
#ifndef HOST_FXFORMAT_H
#define HOST_FXFORMAT_H

#include <cstdarg>
#include <string>

// The text `fmt` and `args` give; an invalid format gives an empty text.
// `args` is left untouched (it is copied before use).
std::string FXFormatV(const char* fmt, va_list args);
std::string FXFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif  // HOST_FXFORMAT_H
