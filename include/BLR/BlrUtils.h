// Static helpers shared by every module: decimal and hex text, time stamps,
// bit counts and checksums; whole-buffer I/O, socket pairs and LZ4 blocks.
#ifndef BLR_BLRUTILS_H
#define BLR_BLRUTILS_H

#include <cstdint>
#include <ctime>
#include <string>

#include "BLR/BlrExport.h"
#include "host/base/CZuError.h"

class auto_handle;
class CZuSocket;

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
  // first `outSize` bytes are written).  `out` may be the text's own
  // storage: each byte lands before the digits still to be read.
  static CZuError str2bin(const std::string& hex, void* out, int outSize);

  // "MM/DD/YYYY hh:mm:ss" in local time.
  static std::string time2str(time_t t);

  static int countBits(const void* data, int len);

  static uint32_t checksum(const void* data, int len);

  // Whole-buffer I/O through the host's file layer.  Both loop until `len`
  // bytes have moved; a length of 0 succeeds at once, a negative one fails.
  // readAll fails with "Unexpected EOF" (code 1) when the stream ends first;
  // writeAll fails when the layer reports a write of 0 bytes.  Host errors
  // come back with this location pushed.
  static CZuError writeAll(auto_handle& h, const void* data, int len);
  static CZuError readAll(auto_handle& h, void* data, int len);

  // Connects two sockets to each other; the second form takes an array of two.
  static CZuError createSocketPair(CZuSocket* a, CZuSocket* b);
  static CZuError createSocketPair(CZuSocket* pair);

  // LZ4 block compression.  `dstSize` is the capacity of `dst` on entry and
  // the size produced on success; on failure it is left unchanged.  A
  // capacity of srcSize + lz4Expansion(srcSize) always suffices to compress.
  static CZuError lz4Compress(const void* src, void* dst, int srcSize, int& dstSize);
  // `srcSize` is the compressed size.  Corrupt input fails, never overruns.
  static CZuError lz4Decompress(const void* src, void* dst, int srcSize, int& dstSize);
  // How many bytes compressing `n` bytes may add: n / 255 + 16.  Beyond the
  // largest compressible input (0x7E000000), and for negative n, it is -n, so
  // that n + lz4Expansion(n) is 0 and compression fails for want of space.
  static int lz4Expansion(int n);
};

#endif  // BLR_BLRUTILS_H
