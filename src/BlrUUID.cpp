#include "BLR/BlrUUID.h"

#include <cctype>

const BlrUUID BlrUUID::null_uuid;

namespace {

const char kLowerHex[] = "0123456789abcdef";
const char kUpperHex[] = "0123456789ABCDEF";

// Unchecked digit value, as the text forms have always been read.
int digitValue(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u < 'A') return u - '0';
  if (u < 'a') return u - 'A' + 10;
  return u - 'a' + 10;
}

bool isDashPosition(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

BlrUUID::BlrUUID(const std::string& text) : bytes_{} {
  if (text.size() != 32 && text.size() != 36) return;
  const bool dashed = text.size() == 36;
  // Two digits a byte; a dash only ever stands between two bytes.
  for (size_t byte = 0, i = 0; byte < sizeof bytes_; ++byte, i += 2) {
    if (dashed && isDashPosition(i)) ++i;
    bytes_[byte] = static_cast<unsigned char>((digitValue(text[i]) & 0xF) << 4 | (digitValue(text[i + 1]) & 0xF));
  }
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
