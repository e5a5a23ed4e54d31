#include "BLR/BlrUtils.h"

#include <cstdio>
#include <cstring>

#include <lz4.h>

#include "host/CZuSocket.h"
#include "host/DwClock.h"
#include "host/FXFile.h"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

struct BitTable {
  unsigned char bits[256];
  constexpr BitTable() : bits() {
    for (int i = 0; i < 256; ++i) bits[i] = static_cast<unsigned char>((i & 1) + bits[i / 2]);
  }
};
constexpr BitTable kBitTable;

inline uint32_t loadLE32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Sum of `words` consecutive little-endian 32-bit words.
uint64_t sumWords(const unsigned char* p, size_t words) {
  uint64_t sum = 0;
  for (size_t i = 0; i < words; ++i) sum += loadLE32(p + 4 * i);
  return sum;
}

}  // namespace

long long BlrUtils::atoll(const char* text) {
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + (*text - '0');
  return value;
}

std::string BlrUtils::bin2str(const void* data, int len) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::string out;
  if (len <= 0) return out;
  out.resize(2 * static_cast<size_t>(len));
  for (int i = 0; i < len; ++i) {
    out[2 * i] = kHex[p[i] >> 4];
    out[2 * i + 1] = kHex[p[i] & 0xF];
  }
  return out;
}

CZuError BlrUtils::str2bin(const std::string& hex, void* out, int outSize) {
  if (hex.size() % 2 != 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Hex string \"%s\" has an odd length", hex.c_str());
  unsigned char* dst = static_cast<unsigned char*>(out);
  const char* text = hex.c_str();  // decoding stops at the first NUL
  size_t pos = 0;
  int written = 0;
  while (text[pos] != '\0' && written < outSize) {
    dst[written++] = static_cast<unsigned char>(hexValue(text[pos]) << 4 | hexValue(text[pos + 1]));
    pos += 2;
  }
  if (text[pos] != '\0') return FXErrorUtil::ErrorInt(FXLOC, 1, "Overflow");
  return CZuError();
}

std::string BlrUtils::time2str(time_t t) {
  struct tm lt = DW_localtime(t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d", lt.tm_mon + 1, lt.tm_mday,
                lt.tm_year + 1900, lt.tm_hour, lt.tm_min, lt.tm_sec);
  return buf;
}

int BlrUtils::countBits(const void* data, int len) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  int count = 0;
  for (int i = 0; i < len; ++i) count += kBitTable.bits[p[i]];
  return count;
}

uint32_t BlrUtils::checksum(const void* data, int len) {
  BlrChecksum sum;
  sum.add(data, len);
  return sum.finish();
}

void BlrChecksum::add(const void* data, int len) {
  if (len <= 0) return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  size_t n = static_cast<size_t>(len);
  size_t words = n / 4;
  uint64_t sum;
  if (n >= 1024) {
    // Two halves in independent accumulators; the order of the additions
    // does not change a sum modulo 2^64.
    size_t half = n / 8;
    uint64_t first = sumWords(p, half);
    uint64_t second = sumWords(p + 4 * half, words - half);
    sum = first + second;
  } else {
    sum = sumWords(p, words);
  }
  size_t tail = n % 4;
  if (tail != 0) {
    uint32_t last = 0;
    for (size_t i = 0; i < tail; ++i) last |= static_cast<uint32_t>(p[4 * words + i]) << (8 * i);
    sum += last;
  }
  sum_ += sum;
}

uint32_t BlrChecksum::finish() const {
  uint64_t s = (sum_ & 0xFFFFFFFFu) + (sum_ >> 32);
  s = (s & 0xFFFFFFFFu) + (s >> 32);
  return ~static_cast<uint32_t>(s);
}

// ---------------------------------------------------------------------------
// Whole-buffer I/O, socket pairs and LZ4 blocks.

CZuError BlrUtils::writeAll(auto_handle& h, const void* data, int len) {
  if (len < 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid length %d to write", len);
  const char* p = static_cast<const char*>(data);
  int left = len;
  while (left > 0) {
    int moved = 0;
    CZuError err = FXFile::DWWriteFile(h, p, left, &moved, nullptr);
    if (err.IsError()) return err.Push(FXLOC);
    // A layer that keeps accepting nothing would spin here forever.
    if (moved <= 0 || moved > left)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't write %d of %d bytes: %d bytes written",
                                   left, len, moved);
    p += moved;
    left -= moved;
  }
  return CZuError();
}

CZuError BlrUtils::readAll(auto_handle& h, void* data, int len) {
  if (len < 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid length %d to read", len);
  char* p = static_cast<char*>(data);
  int left = len;
  while (left > 0) {
    int moved = 0;
    CZuError err = FXFile::DWReadFile(h, p, left, &moved, nullptr);
    if (err.IsError()) return err.Push(FXLOC);
    if (moved == 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "Unexpected EOF");
    if (moved < 0 || moved > left)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't read %d of %d bytes: %d bytes read", left,
                                   len, moved);
    p += moved;
    left -= moved;
  }
  return CZuError();
}

CZuError BlrUtils::createSocketPair(CZuSocket* a, CZuSocket* b) {
  if (a == nullptr || b == nullptr)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't create a socket pair: no socket given");
  CZuError err = CZuSocket::CreateSocketPair(*a, *b);
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

CZuError BlrUtils::createSocketPair(CZuSocket* pair) {
  if (pair == nullptr)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't create a socket pair: no socket given");
  return createSocketPair(&pair[0], &pair[1]);
}

CZuError BlrUtils::lz4Compress(const void* src, void* dst, int srcSize, int& dstSize) {
  if (srcSize < 0 || dstSize < 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid sizes %d and %d for LZ4 compression", srcSize,
                                 dstSize);
  int n = LZ4_compress_default(static_cast<const char*>(src), static_cast<char*>(dst), srcSize,
                               dstSize);
  if (n <= 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Insufficient buffer size %d for LZ4 compression of %d",
                                 dstSize, srcSize);
  dstSize = n;
  return CZuError();
}

CZuError BlrUtils::lz4Decompress(const void* src, void* dst, int srcSize, int& dstSize) {
  if (srcSize < 0 || dstSize < 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid sizes %d and %d for LZ4 decompression",
                                 srcSize, dstSize);
  int n = LZ4_decompress_safe(static_cast<const char*>(src), static_cast<char*>(dst), srcSize,
                              dstSize);
  if (n < 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Insufficient buffer size %d for LZ4 decompression of %d"
                                 " or corrupt compressed stream",
                                 dstSize, srcSize);
  dstSize = n;
  return CZuError();
}

int BlrUtils::lz4Expansion(int n) {
  int bound = LZ4_compressBound(n);
  if (bound == 0) return static_cast<int>(0u - static_cast<unsigned>(n));  // -n, INT_MIN included
  return bound - n;
}
