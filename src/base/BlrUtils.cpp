#include "BLR/BlrUtils.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include <immintrin.h>
#include <lz4.h>

#include "base/BlrTesting.h"
#include "host/net/CZuSocket.h"
#include "host/base/DwClock.h"
#include "host/base/FXFile.h"

namespace {

// Hex digits by value and values by digit (0 for a character that is none),
// as tables: answers of the pair database are hex-coded a byte at a time.
struct HexTables {
  char digits[256][2];
  unsigned char values[256];
  constexpr HexTables() : digits(), values() {
    const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) {
      digits[i][0] = kHex[i >> 4];
      digits[i][1] = kHex[i & 0xF];
    }
    for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 6; ++i) values['a' + i] = values['A' + i] = static_cast<unsigned char>(10 + i);
  }
};
constexpr HexTables kHexTables;

// Eight bytes to sixteen lower-case hex digits.
void bytesToHexBlock(const unsigned char* src, char* dst) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src));
  const __m128i low4 = _mm_set1_epi8(0x0F);
  const __m128i nibbles = _mm_unpacklo_epi8(_mm_and_si128(_mm_srli_epi16(bytes, 4), low4),
                                            _mm_and_si128(bytes, low4));  // high digit first
  const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
  const __m128i digits = _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), digits);
}

// Sixteen hex digits to eight bytes; false, with nothing written, unless all
// sixteen are digits, for the byte-by-byte loop to take over.  The digits
// are read before the bytes are written, so `dst` may overlap `src`.
bool hexBlockToBytes(const unsigned char* src, unsigned char* dst) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  auto inRange = [&v](char low, char high) {
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(high + 1))));
  };
  const __m128i digit = inRange('0', '9'), lower = inRange('a', 'f'), upper = inRange('A', 'F');
  if (_mm_movemask_epi8(_mm_or_si128(digit, _mm_or_si128(lower, upper))) != 0xFFFF) return false;
  const __m128i nibbles =
      _mm_or_si128(_mm_and_si128(digit, _mm_sub_epi8(v, _mm_set1_epi8('0'))),
                   _mm_or_si128(_mm_and_si128(lower, _mm_sub_epi8(v, _mm_set1_epi8('a' - 10))),
                                _mm_and_si128(upper, _mm_sub_epi8(v, _mm_set1_epi8('A' - 10)))));
  // A 16-bit lane holds a byte's high digit in its low half.
  const __m128i bytes = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0x00FF)), 4),
                                     _mm_srli_epi16(nibbles, 8));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(bytes, bytes));
  return true;
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

// The block sums below read each 16 or 32 bytes as 64-bit lanes
// x = lo + 2^32 * hi (x86-64 is little endian).  With S the sum of the lanes
// and H the sum of their high halves, the sum of all the 32-bit words is
// S - (2^32 - 1) * H modulo 2^64: one shift and two adds per vector.  Two
// independent pairs of accumulators keep the adds in flight.
inline uint64_t foldLanes(uint64_t lanes, uint64_t highs) {
  return lanes - ((uint64_t{1} << 32) - 1) * highs;
}

// The hardware prefetcher alone leaves the loops below waiting on L2 and
// memory: asking for the line 2 KiB ahead, once per 64 bytes read, keeps
// them at the speed of a plain read that prefetches alike (checksum_bench).
// Computed as an integer: prefetching past the end is harmless, a pointer
// there would not be.
constexpr uintptr_t kPrefetchAhead = 2048;

inline void prefetchAhead(const unsigned char* p) {
  _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(p) + kPrefetchAhead), _MM_HINT_T0);
}

// Whole 16-byte blocks, SSE2 (always present on x86-64).
uint64_t sumBlocks16(const unsigned char* p, size_t blocks) {
  __m128i s0 = _mm_setzero_si128(), s1 = _mm_setzero_si128();
  __m128i h0 = _mm_setzero_si128(), h1 = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 2 <= blocks; i += 2) {
    if (i % 4 == 0) prefetchAhead(p + 16 * i);
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i + 16));
    s0 = _mm_add_epi64(s0, a);
    h0 = _mm_add_epi64(h0, _mm_srli_epi64(a, 32));
    s1 = _mm_add_epi64(s1, b);
    h1 = _mm_add_epi64(h1, _mm_srli_epi64(b, 32));
  }
  if (i < blocks) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    s0 = _mm_add_epi64(s0, a);
    h0 = _mm_add_epi64(h0, _mm_srli_epi64(a, 32));
  }
  uint64_t lanes[2], highs[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi64(s0, s1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(highs), _mm_add_epi64(h0, h1));
  return foldLanes(lanes[0] + lanes[1], highs[0] + highs[1]);
}

struct Avx2Sums {
  __m256i lanes, highs;
};

__attribute__((target("avx2"), always_inline)) inline void addBlock32(Avx2Sums* sums, const unsigned char* p) {
  __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  // Left to itself GCC folds the load into the first add as well, reading
  // each block twice; through the empty asm it is loaded once.
  asm("" : "+x"(a));
  sums->lanes = _mm256_add_epi64(sums->lanes, a);
  sums->highs = _mm256_add_epi64(sums->highs, _mm256_srli_epi64(a, 32));
}

// Whole 32-byte blocks, AVX2 (chosen at run time).  The odd block goes
// first and the loop counts down, so that GCC keeps the accumulators in
// their registers: per 64 bytes 2 loads, 6 vector operations, a prefetch
// and the loop's 3 instructions, no moves.
__attribute__((target("avx2"))) uint64_t sumBlocks32(const unsigned char* p, size_t blocks) {
  Avx2Sums x{_mm256_setzero_si256(), _mm256_setzero_si256()}, y = x;
  if (blocks & 1) addBlock32(&y, p);
  p += 32 * (blocks & 1);
  for (size_t n = blocks / 2; n != 0; --n, p += 64) {
    prefetchAhead(p);
    addBlock32(&x, p);
    addBlock32(&y, p + 32);
  }
  uint64_t lanes[4], highs[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(x.lanes, y.lanes));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(highs), _mm256_add_epi64(x.highs, y.highs));
  return foldLanes(lanes[0] + lanes[1] + lanes[2] + lanes[3], highs[0] + highs[1] + highs[2] + highs[3]);
}

std::atomic<bool> gAllowAvx2{true};

bool useAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has && gAllowAvx2.load(std::memory_order_relaxed);
}

// Sum modulo 2^64 of `words` consecutive little-endian 32-bit words.
uint64_t sumWords(const unsigned char* p, size_t words) {
  size_t done = 0;
  uint64_t sum = 0;
  if (useAvx2()) {
    sum = sumBlocks32(p, words / 8);
    done = words / 8 * 8;
  }
  sum += sumBlocks16(p + 4 * done, (words - done) / 4);
  done += (words - done) / 4 * 4;
  for (size_t i = done; i < words; ++i) sum += loadLE32(p + 4 * i);
  return sum;
}

}  // namespace

long long BlrUtils::atoll(const char* text) {
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + (*text - '0');
  return value;
}

std::string BlrUtils::bin2str(const void* data, int len) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::string out;
  if (len <= 0) return out;
  out.resize(2 * static_cast<size_t>(len));
  char* dst = &out[0];
  int i = 0;
  for (; i + 8 <= len; i += 8, dst += 16) bytesToHexBlock(p + i, dst);
  for (; i < len; ++i, dst += 2) std::memcpy(dst, kHexTables.digits[p[i]], 2);
  return out;
}

CZuError BlrUtils::str2bin(const std::string& hex, void* out, int outSize) {
  if (hex.size() % 2 != 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Hex string \"%s\" has an odd length", hex.c_str());
  unsigned char* dst = static_cast<unsigned char*>(out);
  // Decoding stops at the first NUL in place of a pair of digits; c_str()
  // ends with one.
  const unsigned char* src = reinterpret_cast<const unsigned char*>(hex.c_str());
  const size_t room = outSize > 0 ? static_cast<size_t>(outSize) : 0;
  const size_t limit = std::min(hex.size() / 2, room);
  size_t written = 0;
  while (written + 8 <= limit && hexBlockToBytes(src + 2 * written, dst + written)) written += 8;
  for (; written < limit && src[2 * written] != '\0'; ++written) {
    const unsigned high = kHexTables.values[src[2 * written]], low = kHexTables.values[src[2 * written + 1]];
    dst[written] = static_cast<unsigned char>(high << 4 | low);
  }
  if (src[2 * written] != '\0') return FXErrorUtil::ErrorInt(FXLOC, 1, "Overflow");
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

// The sum modulo 2^64 does not depend on the order of the additions, so the
// block sum gives exactly the word-by-word result.
void BlrChecksum::add(const void* data, int len) {
  if (len <= 0) return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  size_t n = static_cast<size_t>(len);
  size_t words = n / 4;
  uint64_t sum = sumWords(p, words);
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

void blrChecksumAllowAvx2ForTesting(bool allow) { gAllowAvx2.store(allow, std::memory_order_relaxed); }

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
  // liblz4 refuses negative sizes itself (result 0).
  int n = LZ4_compress_default(static_cast<const char*>(src), static_cast<char*>(dst), srcSize,
                               dstSize);
  if (n <= 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Insufficient buffer size %d for LZ4 compression of %d",
                                 dstSize, srcSize);
  dstSize = n;
  return CZuError();
}

CZuError BlrUtils::lz4Decompress(const void* src, void* dst, int srcSize, int& dstSize) {
  // liblz4 refuses negative sizes itself (a negative result).
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
