// Tag codec: records as concatenated elements of (tag id, payload size,
// payload).  Ids and sizes are big-endian variable-length integers of one to
// four bytes whose first set bit gives the length.
//
// The integer forms come from host/DwBytes.h, which the request link's framing
// shares.  Everything but DwEbmlParser::parseMsg is inline.
#ifndef DWLINK_DWEBML_H
#define DWLINK_DWEBML_H

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "BLR/BlrExport.h"
#include "host/base/CZuError.h"
#include "host/base/DwBytes.h"

inline constexpr char dw_ebml_err_eof_msg[] = "Encoded data ends inside an element";
inline constexpr char dw_ebml_err_corrupt_msg[] = "Corrupt encoded data: invalid length marker";
inline constexpr char dw_ebml_err_invalid_num_tag_length[] = "Invalid number payload length %d";
inline constexpr char dw_ebml_err_str_tag_no_nul[] = "Text payload is not NUL-terminated";

inline constexpr int DW_EBML_ERR_EOF = 100;
inline constexpr int DW_EBML_ERR_CORRUPT = 101;

// Largest tag id or payload size the four-byte form can hold.
inline constexpr uint32_t DW_EBML_MAX_VARINT = dw_bytes::kMaxVarInt;

// Destination kinds of DwEbmlParser::parseMsg.
enum DW_EBML_VAR_TYPE {
  DW_EBML_VAR_INT32 = 2,   // int32_t
  DW_EBML_VAR_UINT64 = 5,  // uint64_t
  DW_EBML_VAR_STR = 6,     // const char*, pointing at the NUL-terminated text in place
  DW_EBML_VAR_BINARY = 8,  // DwEbmlBinary, pointing at the payload in place
  DW_EBML_VAR_UUID = 9,    // 16 bytes
};

// Destination of a DW_EBML_VAR_BINARY field: the payload as found in the data.
struct DwEbmlBinary {
  const uint8_t* data;
  int32_t size;
};

namespace dw_ebml_detail {

using dw_bytes::putVarInt;
using dw_bytes::throwTooLarge;
using dw_bytes::varIntWidth;

inline char* putNum(char* p, int tag, uint64_t v) {
  p = putVarInt(p, static_cast<uint32_t>(tag));
  const int n = v == 0 ? 1 : (71 - __builtin_clzll(v)) >> 3;
  *p++ = static_cast<char>(0x80 | n);
  for (int shift = 8 * (n - 1); shift >= 0; shift -= 8) *p++ = static_cast<char>(v >> shift);
  return p;
}

inline char* putUUID(char* p, int tag, const uint8_t* bytes) {
  p = putVarInt(p, static_cast<uint32_t>(tag));
  *p++ = static_cast<char>(0x90);
  std::memcpy(p, bytes, 16);
  return p + 16;
}

// Text up to its first NUL.
inline size_t textLength(const std::string& s) {
  const void* nul = std::memchr(s.data(), 0, s.size());
  return nul ? static_cast<const char*>(nul) - s.data() : s.size();
}

inline char* putStr(char* p, int tag, const char* text, size_t len) {
  p = putVarInt(p, static_cast<uint32_t>(tag));
  p = putVarInt(p, static_cast<uint32_t>(len + 1));
  std::memcpy(p, text, len);
  p[len] = 0;
  return p + len + 1;
}

inline void checkTextLength(size_t len) {
  if (len >= DW_EBML_MAX_VARINT) throwTooLarge(uint64_t{len} + 1);
}

}  // namespace dw_ebml_detail

// One heap block that a DwEbmlWriter fills and grows in place.
class DwEbmlBuffer {
 public:
  explicit DwEbmlBuffer(int initialCapacity)
      : data(nullptr), capacity(initialCapacity > 0 ? initialCapacity : 0) {
    data = static_cast<char*>(std::malloc(capacity > 0 ? capacity : 1));
    if (!data) throw std::bad_alloc();
  }
  ~DwEbmlBuffer() { std::free(data); }
  DwEbmlBuffer(const DwEbmlBuffer&) = delete;
  DwEbmlBuffer& operator=(const DwEbmlBuffer&) = delete;

  char* data;
  int32_t capacity;
};

// Appends elements to a DwEbmlBuffer, growing its block as needed.  Growth
// failure throws std::bad_alloc; an id or size that can't be encoded in 28
// bits (or a block beyond 2 GiB) throws std::length_error.
class DwEbmlWriter {
 public:
  // What closeContTag needs: where the container's size field is and how many
  // bytes were reserved for it.  A width of 0 means no container is open.
  struct OpenTag {
    int32_t sizeOffset;
    int32_t sizeWidth;
  };

  DwEbmlWriter(DwEbmlBuffer& buffer, int startOffset)
      : current_{0, 0},
        data_(buffer.data),
        capacity_(buffer.capacity),
        start_(startOffset > 0 ? startOffset : 0) {
    cursor_ = data_ + (start_ <= capacity_ ? start_ : 0);
    if (start_ > capacity_) {
      grow(start_);
      cursor_ = data_ + start_;
    }
  }
  DwEbmlWriter(const DwEbmlWriter&) = delete;
  DwEbmlWriter& operator=(const DwEbmlWriter&) = delete;

  void writeNumTag(int tag, int value) { writeNum(tag, static_cast<uint64_t>(int64_t{value})); }
  void writeNumTag(int tag, unsigned int value) { writeNum(tag, value); }
  void writeNumTag(int tag, long value) { writeNum(tag, static_cast<uint64_t>(value)); }
  void writeNumTag(int tag, unsigned long value) { writeNum(tag, value); }

  void writeStrTag(int tag, const std::string& value) {
    const size_t len = dw_ebml_detail::textLength(value);
    dw_ebml_detail::checkTextLength(len);
    reserve(len + 9);
    cursor_ = dw_ebml_detail::putStr(cursor_, tag, value.data(), len);
  }

  void writeUUIDTag(int tag, const uint8_t* bytes) {
    reserve(24);
    cursor_ = dw_ebml_detail::putUUID(cursor_, tag, bytes);
  }

  // Begins a container.  The size field is reserved in the width that
  // `bound` content bytes need; closeContTag widens it if the content grows
  // beyond that.
  void openContTag(int tag, int bound) {
    reserve(8);
    cursor_ = dw_ebml_detail::putVarInt(cursor_, static_cast<uint32_t>(tag));
    const uint32_t limit = bound > 0 ? static_cast<uint32_t>(bound) : 0;
    const int width = dw_ebml_detail::varIntWidth(std::min(limit, DW_EBML_MAX_VARINT));
    if (current_.sizeWidth != 0) open_.push_back(current_);
    current_ = OpenTag{static_cast<int32_t>(cursor_ - data_), width};
    // A zero size keeps the bytes well-formed until the close fills it in.
    cursor_ = dw_ebml_detail::putVarInt(cursor_, 0, width);
  }

  // Ends the innermost open container; does nothing when none is open.
  void closeContTag() {
    if (current_.sizeWidth == 0) return;
    const char* body = data_ + current_.sizeOffset + current_.sizeWidth;
    const size_t content = static_cast<size_t>(cursor_ - body);
    if (content > DW_EBML_MAX_VARINT) dw_ebml_detail::throwTooLarge(content);
    int width = dw_ebml_detail::varIntWidth(static_cast<uint32_t>(content));
    if (width > current_.sizeWidth) {
      widenSizeField(width - current_.sizeWidth, content);
    } else {
      width = current_.sizeWidth;
    }
    dw_ebml_detail::putVarInt(data_ + current_.sizeOffset, static_cast<uint32_t>(content), width);
    if (open_.empty()) {
      current_ = OpenTag{0, 0};
    } else {
      current_ = open_.back();
      open_.pop_back();
    }
  }

  const char* getBuffer() const { return data_; }
  int getSize() const { return static_cast<int>(cursor_ - (data_ + start_)); }
  // The bytes written since the start offset.
  std::vector<char> getBlob() const { return std::vector<char>(data_ + start_, cursor_); }

 private:
  void writeNum(int tag, uint64_t value) {
    reserve(13);
    cursor_ = dw_ebml_detail::putNum(cursor_, tag, value);
  }

  void reserve(size_t n) {
    if (n > static_cast<size_t>(data_ + capacity_ - cursor_)) grow(n);
  }

  // Grows by the current capacity when that exceeds `n`, otherwise by the
  // smallest multiple of 4096 above `n`.
  void grow(size_t n) {
    const size_t offset = static_cast<size_t>(cursor_ - data_);
    int64_t cap = capacity_;
    while (static_cast<uint64_t>(cap) < offset + n) {
      cap += static_cast<int64_t>(n) < cap ? cap : static_cast<int64_t>((n | 4095) + 1);
    }
    if (cap > INT32_MAX) throw std::length_error("encoded record exceeds 2 GiB");
    char* block = static_cast<char*>(std::realloc(data_, static_cast<uint32_t>(cap)));
    if (!block) throw std::bad_alloc();
    data_ = block;
    capacity_ = static_cast<int32_t>(cap);
    cursor_ = block + offset;
  }

  // Moves the open container's content `extra` bytes up to make room for a
  // wider size field.
  void widenSizeField(int extra, size_t content) {
    reserve(static_cast<size_t>(extra));
    char* body = data_ + current_.sizeOffset + current_.sizeWidth;
    std::memmove(body + extra, body, content);
    cursor_ += extra;
  }

  std::vector<OpenTag> open_;  // enclosing containers of current_
  OpenTag current_;
  char*& data_;
  int32_t& capacity_;
  char* cursor_;
  int32_t start_;
};

// Writes elements into a caller's block without any capacity check: the caller
// guarantees room.  Same bytes as DwEbmlWriter.
class DwEbmlWriterUnsafe {
 public:
  DwEbmlWriterUnsafe(void* block, int startOffset)
      : base_(static_cast<char*>(block)), cursor_(base_ + startOffset), start_(startOffset) {}

  void writeNumTag(int tag, int value) {
    cursor_ = dw_ebml_detail::putNum(cursor_, tag, static_cast<uint64_t>(int64_t{value}));
  }
  void writeNumTag(int tag, long value) {
    cursor_ = dw_ebml_detail::putNum(cursor_, tag, static_cast<uint64_t>(value));
  }
  void writeNumTag(int tag, unsigned long value) {
    cursor_ = dw_ebml_detail::putNum(cursor_, tag, value);
  }
  void writeUUIDTag(int tag, const uint8_t* bytes) {
    cursor_ = dw_ebml_detail::putUUID(cursor_, tag, bytes);
  }

  char* getBuffer() { return base_; }
  int getSize() const { return static_cast<int>(cursor_ - (base_ + start_)); }

 private:
  char* base_;
  char* cursor_;
  int32_t start_;
};

// Reading cursor over encoded data it neither owns nor copies.  No operation
// reads outside [data, data + size), whatever the bytes.
class DwEbmlParser {
 public:
  DwEbmlParser(const void* data, unsigned long size) { reset(data, size); }

  void reset(const void* data, unsigned long size) {
    start_ = static_cast<const uint8_t*>(data);
    cursor_ = start_;
    end_ = start_ + size;
    size_ = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
  }

  const uint8_t* getPos() const { return cursor_; }
  bool atEnd() const { return cursor_ >= end_; }

  // Reads one element header and leaves the cursor on the first payload byte.
  // Fails with 100 when the data ends inside the header or the payload runs
  // past the end, with 101 on a byte without a length marker; nothing is
  // stored then.
  CZuError getNextTag(int* tag, int* size) {
    uint32_t id, len;
    int code = readVarInt(&id);
    if (code == 0) code = readVarInt(&len);
    if (code == 0 && len > static_cast<size_t>(end_ - cursor_)) code = DW_EBML_ERR_EOF;
    if (code != 0) return headerError(code);
    *tag = static_cast<int>(id);
    *size = static_cast<int>(len);
    return CZuError();
  }

  // A big-endian number of 1 to 8 bytes, zero-extended.  Other sizes fail
  // with 101; one byte of a non-empty payload is consumed then.
  CZuError getNumPayload(int size, int32_t* out) {
    uint64_t v = 0;
    CZuError err = readNum(size, &v);
    if (!err.IsError()) *out = static_cast<int32_t>(static_cast<uint32_t>(v));
    return err;
  }
  CZuError getNumPayload(int size, int64_t* out) {
    uint64_t v = 0;
    CZuError err = readNum(size, &v);
    if (!err.IsError()) *out = static_cast<int64_t>(v);
    return err;
  }
  CZuError getNumPayload(int size, uint64_t* out) { return readNum(size, out); }
  CZuError getNumPayload(int size, bool* out) {
    uint64_t v = 0;
    CZuError err = readNum(size, &v);
    if (!err.IsError()) *out = v != 0;
    return err;
  }

  // The text up to its first NUL.  A payload whose last byte is not NUL fails
  // with 101 and leaves `out` as it was; the cursor passes the payload.
  CZuError getStrPayload(int size, std::string* out) {
    if (size > end_ - cursor_) return eofError();
    if (size <= 0) return noNulError();
    const char* text = reinterpret_cast<const char*>(cursor_);
    cursor_ += size;
    if (text[size - 1] != 0) return noNulError();
    out->assign(text, std::strlen(text));
    return CZuError();
  }

  // 16 bytes.  Any other size fails with code 1 and the cursor stays put.
  CZuError getUUIDPayload(int size, uint8_t* out) {
    if (size != 16) return uuidSizeError(size);
    if (size > end_ - cursor_) return eofError();
    std::memcpy(out, cursor_, 16);
    cursor_ += 16;
    return CZuError();
  }

  // Advances by `size`, never past the end.
  CZuError skipPayload(int size) {
    if (size > 0) cursor_ += size < end_ - cursor_ ? size : end_ - cursor_;
    return CZuError();
  }

  // Decodes the rest of the data into destinations listed as (tag, type,
  // destination) triples, ending with a single tag 0.  Unlisted tags are
  // skipped; destinations of absent tags keep their values; the last of a
  // repeated tag wins.  A header that can't be read, or a listed payload that
  // can't be read into its destination, fails the whole call.
  BLR_API CZuError parseMsg(int tag, DW_EBML_VAR_TYPE type, void* dest, ...);

 private:
  // Reads a variable-length integer; returns 0 or the failure code.
  int readVarInt(uint32_t* out) {
    switch (dw_bytes::readVarInt(&cursor_, end_, out)) {
      case dw_bytes::VarIntRead::kOk:
        return 0;
      case dw_bytes::VarIntRead::kEnd:
        return DW_EBML_ERR_EOF;
      case dw_bytes::VarIntRead::kNoMarker:
        return DW_EBML_ERR_CORRUPT;
    }
    return DW_EBML_ERR_CORRUPT;
  }

  CZuError readNum(int size, uint64_t* out) {
    // A length no number can have is corrupt, however little data is left.
    if (size <= 0 || size > 8) {
      if (size > 0 && cursor_ < end_) ++cursor_;
      return numLengthError(size);
    }
    if (size > end_ - cursor_) return eofError();
    uint64_t v = 0;
    for (int i = 0; i < size; ++i) v = (v << 8) | cursor_[i];
    cursor_ += size;
    *out = v;
    return CZuError();
  }

  // Failures are rare; keep their formatting out of the inlined fast paths.
  [[gnu::noinline, gnu::cold]] static CZuError headerError(int code) {
    return FXErrorUtil::ErrorInt(FXLOC, code, "%s",
                                 code == DW_EBML_ERR_EOF ? dw_ebml_err_eof_msg
                                                         : dw_ebml_err_corrupt_msg);
  }
  [[gnu::noinline, gnu::cold]] static CZuError eofError() {
    return FXErrorUtil::ErrorInt(FXLOC, DW_EBML_ERR_EOF, "%s", dw_ebml_err_eof_msg);
  }
  [[gnu::noinline, gnu::cold]] static CZuError noNulError() {
    return FXErrorUtil::ErrorInt(FXLOC, DW_EBML_ERR_CORRUPT, "%s", dw_ebml_err_str_tag_no_nul);
  }
  [[gnu::noinline, gnu::cold]] static CZuError numLengthError(int size) {
    return FXErrorUtil::ErrorInt(FXLOC, DW_EBML_ERR_CORRUPT, dw_ebml_err_invalid_num_tag_length,
                                 size);
  }
  [[gnu::noinline, gnu::cold]] static CZuError uuidSizeError(int size) {
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Can't decode UUID payload: incorrect size %d", size);
  }

  const uint8_t* start_;
  const uint8_t* cursor_;
  const uint8_t* end_;
  int32_t size_;
};

// The decoding loop of a record: calls `onElement(parser, tag, size)` for each
// element, with the parser on its first payload byte, and resumes after that
// payload whatever the callback read.  A header that can't be read ends
// decoding quietly with success; an error the callback returns stops decoding
// and is returned.
template <class OnElement>
CZuError dwEbmlForEachElement(const void* data, int size, OnElement&& onElement) {
  DwEbmlParser parser(data, size > 0 ? static_cast<unsigned long>(size) : 0);
  int tag = 0, len = 0;
  while (!parser.atEnd() && !parser.getNextTag(&tag, &len).IsError()) {
    const uint8_t* next = parser.getPos() + len;
    CZuError err = onElement(parser, tag, len);
    if (err.IsError()) return err;
    parser.skipPayload(static_cast<int>(next - parser.getPos()));
  }
  return CZuError();
}

#endif  // DWLINK_DWEBML_H
