// 16-byte identifiers of virtual machines, disks and journal markers.
#ifndef BLR_BLRUUID_H
#define BLR_BLRUUID_H

#include <cstring>
#include <string>

#include "BLR/BlrExport.h"

class BLR_API BlrUUID {
 public:
  static const BlrUUID null_uuid;

  BlrUUID() : bytes_{} {}
  explicit BlrUUID(const unsigned char* bytes) { std::memcpy(bytes_, bytes, sizeof bytes_); }
  // Parses 32 hex digits or the 36-character dashed form; any other length
  // gives the null identifier.  Digits are not checked: call isValid first on
  // text from outside.
  explicit BlrUUID(const std::string& text) : BlrUUID(text.data(), text.size()) {}
  BlrUUID(const char* text, size_t size);

  static bool isValid(const std::string& text);

  std::string toString() const;  // dashed, upper case
  std::string toHex() const;     // 32 lower-case digits

  void clear() { std::memset(bytes_, 0, sizeof bytes_); }
  bool empty() const;

  const unsigned char* data() const { return bytes_; }
  unsigned char* data() { return bytes_; }
  static constexpr int size() { return 16; }

  bool operator==(const BlrUUID& o) const { return std::memcmp(bytes_, o.bytes_, 16) == 0; }
  bool operator!=(const BlrUUID& o) const { return !(*this == o); }
  bool operator<(const BlrUUID& o) const { return std::memcmp(bytes_, o.bytes_, 16) < 0; }

 private:
  unsigned char bytes_[16];
};

extern "C" {
// Writes the 32 lower-case hex digits of 16 bytes and a NUL into `out` (33
// bytes) and returns `out`.
BLR_API char* uuid2hex(const unsigned char* uuid, char* out);
}

#endif  // BLR_BLRUUID_H
