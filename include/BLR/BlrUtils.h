// Static helpers shared by every module: decimal and hex text, time stamps,
// bit counts and checksums.
#ifndef BLR_BLRUTILS_H
#define BLR_BLRUTILS_H

#include <cstdint>
#include <ctime>
#include <string>

#include "BLR/BlrExport.h"
#include "host/CZuError.h"

// Running 32-bit checksum: little-endian 32-bit words summed into 64 bits,
// then folded.  A tail of 1 to 3 bytes is padded with zeros on every call.
class BLR_API BlrChecksum {
 public:
  BlrChecksum() : sum_(0) {}
  void add(const void* data, int len);
  uint32_t finish() const;

 private:
  uint64_t sum_;
};

class BLR_API BlrUtils {
 public:
  // Leading decimal digits only: no sign, no blanks, no overflow check.
  static long long atoll(const char* text);

  static std::string bin2str(const void* data, int len);
  // Inverse of bin2str.  Fails with code 1 on an odd length (nothing written)
  // or with "Overflow" when the text holds more bytes than `outSize` (the
  // first `outSize` bytes are written).
  static CZuError str2bin(const std::string& hex, void* out, int outSize);

  // "MM/DD/YYYY hh:mm:ss" in local time.
  static std::string time2str(time_t t);

  static int countBits(const void* data, int len);

  static uint32_t checksum(const void* data, int len);
};

#endif  // BLR_BLRUTILS_H
