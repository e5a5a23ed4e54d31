#include "host/base/FXString.h"

#include <cstdint>

namespace {

const uint32_t kEscapeBase = 0xDC00;  // + byte 0x80..0xFF
const uint32_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes one strict UTF-8 sequence at `s[i]` of `size` bytes; returns its
// length, or 0 when the bytes there are not a valid, shortest-form,
// non-surrogate sequence.
size_t decodeOne(const char* s, size_t size, size_t i, uint32_t* cp) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len;
  uint32_t value, min;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2, value = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, value = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, value = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > size) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if (!isContinuation(cc)) return 0;
    value = (value << 6) | (cc & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return len;
}

void appendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string FXString::ToString(const wchar_t* text) {
  std::string out;
  if (text == nullptr) return out;
  for (; *text != L'\0'; ++text) {
    uint32_t cp = static_cast<uint32_t>(*text);
    if (cp >= kEscapeBase + 0x80 && cp <= kEscapeBase + 0xFF)
      out.push_back(static_cast<char>(cp - kEscapeBase));
    else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
      appendUtf8(kReplacement, &out);
    else
      appendUtf8(cp, &out);
  }
  return out;
}

std::wstring FXString::FromString(const std::string& text) {
  std::wstring out(text.size(), L'\0');  // never more characters than bytes
  out.resize(FromString(text.data(), text.size(), &out[0], out.size()));
  return out;
}

size_t FXString::FromString(const char* text, size_t size, wchar_t* out, size_t max) {
  size_t i = 0, n = 0;
  while (i < size && n < max) {
    uint32_t cp = 0;
    size_t len = decodeOne(text, size, i, &cp);
    if (len == 0) {
      out[n++] = static_cast<wchar_t>(kEscapeBase + static_cast<unsigned char>(text[i]));
      ++i;
    } else {
      out[n++] = static_cast<wchar_t>(cp);
      i += len;
    }
  }
  return n;
}

size_t FXString::PrefixBytes(const char* text, size_t size, size_t max) {
  // Every character takes at least one byte.
  if (size <= max) return size;
  size_t i = 0;
  for (size_t n = 0; i < size && n < max; ++n) {
    uint32_t cp = 0;
    size_t len = decodeOne(text, size, i, &cp);
    i += len == 0 ? 1 : len;
  }
  return i;
}

std::string FXString::ValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    size_t len = decodeOne(text.data(), text.size(), i, &cp);
    if (len == 0) {
      appendUtf8(kReplacement, &out);
      ++i;
    } else {
      out.append(text, i, len);
      i += len;
    }
  }
  return out;
}
