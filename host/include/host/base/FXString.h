// Conversions between narrow UTF-8 text and wide text (wchar_t, UTF-32).
//
// Narrow text from outside (database columns, names) need not be valid UTF-8.
// A byte that does not start a valid sequence becomes the wide character
// U+DC00 + byte (0xDC80..0xDCFF, a range no valid UTF-8 produces) and turns
// back into the same byte, so narrow -> wide -> narrow keeps every byte.
#ifndef HOST_FXSTRING_H
#define HOST_FXSTRING_H

#include <string>

class FXString {
 public:
  // Wide text up to its terminating NUL as UTF-8; null gives "".  Escaped
  // bytes are restored; other unencodable values become U+FFFD.
  static std::string ToString(const wchar_t* text);

  // Narrow text as wide characters (see the escape rule above).
  static std::wstring FromString(const std::string& text);
  // The same for `size` bytes at `text`, written to `out` until `max`
  // characters are there; the count written (no terminator).
  static size_t FromString(const char* text, size_t size, wchar_t* out, size_t max);

  // The bytes of the first `max` characters of the `size` bytes at `text`,
  // counted as FromString counts them (an escaped byte is one): narrow ->
  // wide -> narrow of that many characters without the wide text.
  static size_t PrefixBytes(const char* text, size_t size, size_t max);

  // `text` with each byte that does not start a valid sequence replaced by
  // U+FFFD, for readers that require valid UTF-8.
  static std::string ValidUtf8(const std::string& text);
};

#endif  // HOST_FXSTRING_H
