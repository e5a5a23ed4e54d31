#include "BLR/BlrUUID.h"

#include <cctype>

const BlrUUID BlrUUID::null_uuid;

namespace {

const char kLowerHex[] = "0123456789abcdef";
const char kUpperHex[] = "0123456789ABCDEF";

// Unchecked digit values, as the text forms have always been read: '0'-'9',
// 'A'-'F' and 'a'-'f' read as hex digits, anything else as some value.
struct DigitTable {
  unsigned char value[256]{};
  constexpr DigitTable() {
    for (int c = 0; c < 256; ++c)
      value[c] = static_cast<unsigned char>((c < 'A' ? c - '0' : c < 'a' ? c - 'A' + 10 : c - 'a' + 10) & 0xF);
  }
};
constexpr DigitTable kDigits;  // filled at compile time: usable from static initialisers

bool isDashPosition(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

// Where each byte's two digits begin in the 32- and the 36-character form.
const unsigned char kPlainAt[16] = {0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30};
const unsigned char kDashedAt[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};

}  // namespace

BlrUUID::BlrUUID(const char* text, size_t size) : bytes_{} {
  if (size != 32 && size != 36) return;
  const unsigned char* at = size == 36 ? kDashedAt : kPlainAt;
  const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
  for (int byte = 0; byte < 16; ++byte)
    bytes_[byte] = static_cast<unsigned char>(kDigits.value[t[at[byte]]] << 4 | kDigits.value[t[at[byte] + 1]]);
}

bool BlrUUID::isValid(const std::string& text) {
  if (text.size() == 32) {
    for (char c : text)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
  }
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool ok = isDashPosition(i) ? text[i] == '-' : std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
    if (!ok) return false;
  }
  return true;
}

std::string BlrUUID::toString() const {
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kUpperHex[bytes_[i] >> 4];
    out += kUpperHex[bytes_[i] & 0xF];
  }
  return out;
}

std::string BlrUUID::toHex() const {
  char buf[33];
  return std::string(uuid2hex(bytes_, buf), 32);
}

bool BlrUUID::empty() const {
  for (unsigned char b : bytes_)
    if (b != 0) return false;
  return true;
}

extern "C" char* uuid2hex(const unsigned char* uuid, char* out) {
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = kLowerHex[uuid[i] >> 4];
    out[2 * i + 1] = kLowerHex[uuid[i] & 0xF];
  }
  out[32] = '\0';
  return out;
}
