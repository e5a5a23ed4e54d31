// Byte-level number forms shared by the wire formats: 32-bit big-endian
// integers, and the variable-length integers of one to four bytes whose
// first set bit gives the length (1xxxxxxx, 01xxxxxx x, 001xxxxx x x,
// 0001xxxx x x x), big-endian, holding up to 28 bits.
#ifndef HOST_DWBYTES_H
#define HOST_DWBYTES_H

#include <cstdint>
#include <stdexcept>
#include <string>

namespace dw_bytes {

// Largest value the four-byte variable-length form can hold.
inline constexpr uint32_t kMaxVarInt = 0x0FFFFFFF;

inline void putBE32(char* p, uint32_t v) {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>(v >> 16);
  p[2] = static_cast<char>(v >> 8);
  p[3] = static_cast<char>(v);
}

inline uint32_t getBE32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline int varIntWidth(uint32_t v) {
  return v <= 0x7F ? 1 : v <= 0x3FFF ? 2 : v <= 0x1FFFFF ? 3 : 4;
}

[[noreturn]] inline void throwTooLarge(uint64_t v) {
  throw std::length_error("tag id or payload size " + std::to_string(v) +
                          " does not fit in 28 bits");
}

// Writes `v` in exactly `width` bytes; `v` must fit.
inline char* putVarInt(char* p, uint32_t v, int width) {
  switch (width) {
    case 1:
      p[0] = static_cast<char>(0x80 | v);
      return p + 1;
    case 2:
      p[0] = static_cast<char>(0x40 | (v >> 8));
      p[1] = static_cast<char>(v);
      return p + 2;
    case 3:
      p[0] = static_cast<char>(0x20 | (v >> 16));
      p[1] = static_cast<char>(v >> 8);
      p[2] = static_cast<char>(v);
      return p + 3;
    default:
      p[0] = static_cast<char>(0x10 | (v >> 24));
      p[1] = static_cast<char>(v >> 16);
      p[2] = static_cast<char>(v >> 8);
      p[3] = static_cast<char>(v);
      return p + 4;
  }
}

// Shortest form.  A value above 28 bits would corrupt the marker bits, so it
// is refused instead.
inline char* putVarInt(char* p, uint32_t v) {
  if (v > kMaxVarInt) throwTooLarge(v);
  return putVarInt(p, v, varIntWidth(v));
}

enum class VarIntRead { kOk, kEnd, kNoMarker };

// Reads one variable-length integer from [*cursor, end) and advances the
// cursor past it.  kEnd: the data ends inside it; kNoMarker: its first byte
// has no length bit.  `out` is only written on kOk.
inline VarIntRead readVarInt(const uint8_t** cursor, const uint8_t* end, uint32_t* out) {
  const uint8_t* p = *cursor;
  if (p >= end) return VarIntRead::kEnd;
  uint32_t v = *p++;
  int extra;
  if (v & 0x80) {
    extra = 0, v &= 0x7F;
  } else if (v & 0x40) {
    extra = 1, v &= 0x3F;
  } else if (v & 0x20) {
    extra = 2, v &= 0x1F;
  } else if (v & 0x10) {
    extra = 3, v &= 0x0F;
  } else {
    *cursor = p;
    return VarIntRead::kNoMarker;
  }
  if (end - p < extra) {
    *cursor = p;
    return VarIntRead::kEnd;
  }
  for (int i = 0; i < extra; ++i) v = (v << 8) | *p++;
  *cursor = p;
  *out = v;
  return VarIntRead::kOk;
}

}  // namespace dw_bytes

#endif  // HOST_DWBYTES_H
